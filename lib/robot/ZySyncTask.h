// SPDX-License-Identifier: MIT
// ZySyncTask: one node of a robot's synchronous task tree. A leaf does its
// work through a functor; a branch holds children ordered by priority. Every
// cycle the tree runs once, from the highest priority down; a task whose
// state is SUSPEND, SUCCESS or FAILURE is skipped together with its children.
#ifndef ZYSYNCTASK_H
#define ZYSYNCTASK_H

#include "ZyFunctor.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

class ZySyncTask {
public:
  /// Task states; any other value is a state of the task's own and runs.
  enum State { INIT = 0, RESUME = 1, ACTIVE = 2, SUSPEND = 3, SUCCESS = 4, FAILURE = 5 };

  /// A task named name doing the work of functor (none for a branch). Its
  /// state lives in *statePointer when given, else in the task. A task
  /// with a parent takes the parent's warning-time and no-time-warning
  /// functors; it is not put under the parent (addNewBranch and addNewLeaf
  /// do that).
  ZySyncTask(const char *name, ZyFunctor *functor = nullptr, int *statePointer = nullptr,
             ZySyncTask *parent = nullptr);
  /// Takes the task off its parent (unless the parent is being destroyed)
  /// and deletes its children.
  virtual ~ZySyncTask();

  /// One pass: the functor, then the children in priority order.
  virtual void run();
  /// Logs the task and its descendants at Terse, one line each, indented
  /// by depth tab characters.
  virtual void print(int depth = 0);

  virtual int getState() const;
  virtual void setState(int state);
  const char *getName() const { return myName.c_str(); }
  ZyFunctor *getFunctor() const { return myFunctor; }
  ZySyncTask *getParent() const { return myParent; }

  /// Creates a branch (no functor) and puts it under priority position.
  virtual void addNewBranch(const char *nameOfNew, int position, int *statePointer = nullptr);
  /// Creates a leaf running functor and puts it under priority position.
  virtual void addNewLeaf(const char *nameOfNew, int position, ZyFunctor *functor,
                          int *statePointer = nullptr);
  /// Detaches a direct child without deleting it.
  virtual void remove(ZySyncTask *child);

  /// Depth-first search of this task and its descendants in run order;
  /// nullptr when nothing matches.
  virtual ZySyncTask *find(const char *name);
  virtual ZySyncTask *find(ZyFunctor *functor);
  /// The same among the direct children only.
  virtual ZySyncTask *findNonRecursive(const char *name);
  virtual ZySyncTask *findNonRecursive(ZyFunctor *functor);

  /// Sets the functor giving the warning time in ms on this task and every
  /// descendant.
  virtual void setWarningTimeCB(ZyRetFunctor<unsigned int> *functor);
  virtual ZyRetFunctor<unsigned int> *getWarningTimeCB() const { return myWarningTimeCB; }
  /// Sets the functor that exempts the current cycle from warnings on this
  /// task and every descendant.
  virtual void setNoTimeWarningCB(ZyRetFunctor<bool> *functor);
  virtual ZyRetFunctor<bool> *getNoTimeWarningCB() const { return myNoTimeWarningCB; }

  bool isDeleting() const { return myIsDeleting; }
  /// True while this task's run() is under way (its functor or children).
  bool isInRun() const { return myInRun; }
  size_t getNumChildren() const { return myChildren.size(); }

  /// The text of a state as the tree print shows it, e.g. "INIT, running)".
  static std::string stateText(int state);

  ZySyncTask(const ZySyncTask &) = delete;
  ZySyncTask &operator=(const ZySyncTask &) = delete;

private:
  void insertChild(int position, ZySyncTask *child);
  bool hasChild(const ZySyncTask *child) const;

  std::multimap<int, ZySyncTask *> myChildren;
  int *myStatePointer;
  int myState = INIT;
  ZyFunctor *myFunctor;
  std::string myName;
  ZySyncTask *myParent;
  bool myIsDeleting = false;
  ZyRetFunctor<unsigned int> *myWarningTimeCB = nullptr;
  ZyRetFunctor<bool> *myNoTimeWarningCB = nullptr;

  // Children of the current pass with their serial numbers, kept between
  // passes so that a pass allocates nothing once the tree has settled. A
  // child added or removed during the pass bumps the generation, and each
  // remaining child is then checked to still belong here (and to be the same
  // task, not a new one at a reused address) before it runs.
  std::vector<std::pair<ZySyncTask *, unsigned long>> myRunOrder;
  unsigned long mySerial;
  unsigned long myGeneration = 0;
  bool myInRun = false;
};

#endif
