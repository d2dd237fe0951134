// SPDX-License-Identifier: MIT
// Tests of the callback objects: default arguments for missing trailing
// arguments, results through invokeR, names, rebinding the object, and
// unbound callbacks.
#include "ZyFunctor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> gCalls;

void global0() {
  gCalls.push_back("g0");
}
void global2(int a, const char *b) {
  gCalls.push_back("g2 " + std::to_string(a) + " " + b);
}
void global4(int a, int b, int c, int d) {
  gCalls.push_back("g4 " + std::to_string(a) + std::to_string(b) + std::to_string(c) +
                   std::to_string(d));
}
int globalRet0() {
  return 42;
}
int globalRet3(int a, int b, int c) {
  return a * 100 + b * 10 + c;
}

class Counter {
public:
  explicit Counter(int base) : myBase(base) {}
  void bump() { ++myBumps; }
  void add2(int a, int b) { myBase += a * 10 + b; }
  int get() { return myBase; }
  int sum4(int a, int b, int c, int d) { return myBase + a + b + c + d; }
  void *echo(void *arg) { return arg; }
  int myBase;
  int myBumps = 0;
};

class FunctorTest : public ::testing::Test {
protected:
  void SetUp() override { gCalls.clear(); }
};

} // namespace

TEST_F(FunctorTest, GlobalFormsFillMissingTrailingArgumentsFromDefaults) {
  ZyGlobalFunctor f0(global0);
  f0.invoke();

  ZyGlobalFunctor2<int, const char *> f2(global2, 7, "dflt");
  f2.invoke();
  f2.invoke(1);
  f2.invoke(2, "given");

  ZyGlobalFunctor4<int, int, int, int> f4(global4, 1, 2, 3, 4);
  f4.invoke(9);
  f4.invoke(9, 8, 7);
  f4.setP4(0);
  f4.invoke(5, 5, 5);

  std::vector<std::string> want = {"g0",      "g2 7 dflt", "g2 1 dflt", "g2 2 given",
                                   "g4 9234", "g4 9874",   "g4 5550"};
  EXPECT_EQ(gCalls, want);
}

TEST_F(FunctorTest, CallThroughBaseInterfaceUsesStoredDefaults) {
  ZyGlobalFunctor2<int, const char *> f2(global2, 3, "x");
  ZyFunctor *base = &f2;
  base->invoke();
  ZyFunctor1<int> *one = &f2;
  one->invoke(4);
  f2.setP1(5);
  f2.setP2("y");
  base->invoke();
  std::vector<std::string> want = {"g2 3 x", "g2 4 x", "g2 5 y"};
  EXPECT_EQ(gCalls, want);
}

TEST_F(FunctorTest, RetFormsReturnValuesAndFillDefaults) {
  ZyGlobalRetFunctor<int> r0(globalRet0);
  EXPECT_EQ(r0.invokeR(), 42);

  ZyGlobalRetFunctor3<int, int, int, int> r3(globalRet3, 1, 2, 3);
  EXPECT_EQ(r3.invokeR(), 123);
  EXPECT_EQ(r3.invokeR(9), 923);
  EXPECT_EQ(r3.invokeR(9, 8), 983);
  EXPECT_EQ(r3.invokeR(9, 8, 7), 987);
  ZyRetFunctor<int> *base = &r3;
  EXPECT_EQ(base->invokeR(), 123);
  r3.setP2(0);
  EXPECT_EQ(base->invokeR(), 103);
}

TEST_F(FunctorTest, MemberFormsCallTheBoundObjectAndCanBeRebound) {
  Counter a(0);
  Counter b(0);
  ZyFunctorC<Counter> bump(&a, &Counter::bump);
  bump.invoke();
  bump.setThis(b);
  bump.invoke();
  bump.invoke();
  EXPECT_EQ(a.myBumps, 1);
  EXPECT_EQ(b.myBumps, 2);

  ZyFunctor2C<Counter, int, int> add(&a, &Counter::add2, 1, 2);
  add.invoke();     // 12
  add.invoke(3);    // 32
  add.invoke(4, 5); // 45
  EXPECT_EQ(a.myBase, 12 + 32 + 45);

  ZyRetFunctorC<int, Counter> get(&b, &Counter::get);
  b.myBase = 17;
  EXPECT_EQ(get.invokeR(), 17);
  get.setThis(&a);
  EXPECT_EQ(get.invokeR(), 89);

  Counter c(1000);
  ZyRetFunctor4C<int, Counter, int, int, int, int> sum(&c, &Counter::sum4, 1, 2, 3, 4);
  EXPECT_EQ(sum.invokeR(), 1010);
  EXPECT_EQ(sum.invokeR(10, 20), 1037);
  // invoke discards the result but still calls through.
  sum.invoke(0, 0, 0, 0);
}

TEST_F(FunctorTest, VoidPointerMemberFormIsAlsoARetFunctorWithoutArguments) {
  Counter c(0);
  int marker = 0;
  ZyRetFunctor1C<void *, Counter, void *> echo(&c, &Counter::echo, &marker);
  ZyFunctor *plain = &echo;
  // A registry holding only a ZyFunctor can still find the result form.
  auto *ret = dynamic_cast<ZyRetFunctor<void *> *>(plain);
  ASSERT_NE(ret, nullptr);
  EXPECT_EQ(ret->invokeR(), &marker);
  EXPECT_EQ(echo.invokeR(nullptr), nullptr);
}

TEST_F(FunctorTest, NamesStartEmptyAndCanBeSet) {
  ZyGlobalFunctor f(global0);
  EXPECT_STREQ(f.getName(), "");
  f.setName("exitHook");
  EXPECT_STREQ(f.getName(), "exitHook");
  f.setName(nullptr);
  EXPECT_STREQ(f.getName(), "");
}

TEST_F(FunctorTest, UnboundCallbacksDoNothing) {
  ZyFunctorC<Counter> unbound;
  unbound.invoke();
  ZyGlobalFunctor2<int, const char *> noFunc(nullptr, 1, "a");
  noFunc.invoke();
  ZyRetFunctorC<int, Counter> noObj(nullptr, &Counter::get);
  EXPECT_EQ(noObj.invokeR(), 0);
  ZyGlobalRetFunctor1<int, int> noRet(nullptr, 5);
  EXPECT_EQ(noRet.invokeR(), 0);
  EXPECT_TRUE(gCalls.empty());
}
