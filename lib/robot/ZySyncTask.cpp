// SPDX-License-Identifier: MIT
// Nodes of the synchronous task tree: running a pass in priority order with
// the long-task warning, searching, printing, and the ownership of children.
#include "ZySyncTask.h"

#include "ZyLog.h"
#include "ZyTime.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<unsigned long> nextSerial{1};
} // namespace

ZySyncTask::ZySyncTask(const char *name, ZyFunctor *functor, int *statePointer, ZySyncTask *parent)
    : myStatePointer(statePointer), myFunctor(functor), myName(name != nullptr ? name : ""),
      myParent(parent), mySerial(nextSerial++) {
  if (myParent != nullptr) {
    myWarningTimeCB = myParent->getWarningTimeCB();
    myNoTimeWarningCB = myParent->getNoTimeWarningCB();
  }
  setState(INIT);
}

ZySyncTask::~ZySyncTask() {
  myIsDeleting = true;
  if (myParent != nullptr && !myParent->isDeleting())
    myParent->remove(this);
  // The children see this task deleting and leave the map alone.
  for (auto &entry : myChildren)
    delete entry.second;
  myChildren.clear();
}

int ZySyncTask::getState() const {
  return myStatePointer != nullptr ? *myStatePointer : myState;
}

void ZySyncTask::setState(int state) {
  if (myStatePointer != nullptr)
    *myStatePointer = state;
  else
    myState = state;
}

std::string ZySyncTask::stateText(int state) {
  switch (state) {
  case INIT:
    return "INIT, running)";
  case RESUME:
    return "RESUME, running)";
  case ACTIVE:
    return "ACTIVE, running)";
  case SUSPEND:
    return "SUSPEND, NOT running)";
  case SUCCESS:
    return "SUCCESS, NOT running)";
  case FAILURE:
    return "FAILURE, NOT running)";
  default:
    return std::to_string(state) + ", running)";
  }
}

void ZySyncTask::insertChild(int position, ZySyncTask *child) {
  // Equal priorities keep the order of adding; run() walks them backwards,
  // so the child added last runs first.
  myChildren.insert(std::make_pair(position, child));
  myGeneration++;
}

void ZySyncTask::addNewBranch(const char *nameOfNew, int position, int *statePointer) {
  insertChild(position, new ZySyncTask(nameOfNew, nullptr, statePointer, this));
}

void ZySyncTask::addNewLeaf(const char *nameOfNew, int position, ZyFunctor *functor,
                            int *statePointer) {
  insertChild(position, new ZySyncTask(nameOfNew, functor, statePointer, this));
}

void ZySyncTask::remove(ZySyncTask *child) {
  for (auto it = myChildren.begin(); it != myChildren.end(); ++it) {
    if (it->second == child) {
      myChildren.erase(it);
      myGeneration++;
      // A detached child no longer points at us, so it can outlive us.
      child->myParent = nullptr;
      return;
    }
  }
}

bool ZySyncTask::hasChild(const ZySyncTask *child) const {
  for (const auto &entry : myChildren)
    if (entry.second == child)
      return true;
  return false;
}

void ZySyncTask::run() {
  int state = getState();
  if (state == SUSPEND || state == SUCCESS || state == FAILURE)
    return;
  // A task that (through its functor) asks itself to run again would
  // recurse without end.
  if (myInRun)
    return;
  myInRun = true;

  ZyTime start;
  if (myFunctor != nullptr)
    myFunctor->invoke();

  if (myFunctor != nullptr && myWarningTimeCB != nullptr && myNoTimeWarningCB != nullptr &&
      !myNoTimeWarningCB->invokeR()) {
    unsigned int warningTime = myWarningTimeCB->invokeR();
    long took = start.msSince();
    // A warning time of 0 turns the warning off, as it does for the cycle.
    if (warningTime > 0 && took > static_cast<long>(warningTime))
      ZyLog::log(ZyLog::Normal,
                 "Warning: Task '%s' took %d ms to run (longer than the %d warning time)",
                 myName.c_str(), static_cast<int>(took), static_cast<int>(warningTime));
  }

  myRunOrder.clear();
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it)
    myRunOrder.emplace_back(it->second, it->second->mySerial);
  const unsigned long generation = myGeneration;
  for (size_t i = 0; i < myRunOrder.size(); i++) {
    ZySyncTask *child = myRunOrder[i].first;
    // A child taken off (and perhaps deleted) by an earlier one is skipped;
    // it is looked at only once it is known to be a live child.
    if (myGeneration != generation && (!hasChild(child) || child->mySerial != myRunOrder[i].second))
      continue;
    child->run();
  }
  myInRun = false;
}

void ZySyncTask::print(int depth) {
  std::string line(static_cast<size_t>(depth > 0 ? depth : 0), '\t');
  line += myName;
  line += " (";
  line += stateText(getState());
  ZyLog::log(ZyLog::Terse, "%s", line.c_str());
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it)
    it->second->print(depth + 1);
}

ZySyncTask *ZySyncTask::find(const char *name) {
  if (name == nullptr)
    return nullptr;
  if (myName == name)
    return this;
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it) {
    ZySyncTask *found = it->second->find(name);
    if (found != nullptr)
      return found;
  }
  return nullptr;
}

ZySyncTask *ZySyncTask::find(ZyFunctor *functor) {
  if (functor == nullptr)
    return nullptr;
  if (myFunctor == functor)
    return this;
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it) {
    ZySyncTask *found = it->second->find(functor);
    if (found != nullptr)
      return found;
  }
  return nullptr;
}

ZySyncTask *ZySyncTask::findNonRecursive(const char *name) {
  if (name == nullptr)
    return nullptr;
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it)
    if (strcmp(it->second->getName(), name) == 0)
      return it->second;
  return nullptr;
}

ZySyncTask *ZySyncTask::findNonRecursive(ZyFunctor *functor) {
  if (functor == nullptr)
    return nullptr;
  for (auto it = myChildren.rbegin(); it != myChildren.rend(); ++it)
    if (it->second->getFunctor() == functor)
      return it->second;
  return nullptr;
}

void ZySyncTask::setWarningTimeCB(ZyRetFunctor<unsigned int> *functor) {
  myWarningTimeCB = functor;
  for (auto &entry : myChildren)
    entry.second->setWarningTimeCB(functor);
}

void ZySyncTask::setNoTimeWarningCB(ZyRetFunctor<bool> *functor) {
  myNoTimeWarningCB = functor;
  for (auto &entry : myChildren)
    entry.second->setNoTimeWarningCB(functor);
}
