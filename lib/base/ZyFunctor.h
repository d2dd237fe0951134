// SPDX-License-Identifier: MIT
// The ZyFunctor family: named callback objects with 0 to 4 arguments, with
// or without a result, bound to a plain function or to an object and one of
// its member functions. Each kind stores one default value per argument; an
// invocation with fewer arguments fills the missing trailing ones from them.
// Registries hold pointers to callback objects and never delete them.
// A callback object without an object or a function does nothing when
// invoked, and one with a result then returns a value-initialised result.
#ifndef ZYFUNCTOR_H
#define ZYFUNCTOR_H

#include <string>

// ---------------------------------------------------------------------------
// Interfaces, by number of arguments.

class ZyFunctor {
public:
  virtual ~ZyFunctor() = default;
  virtual void invoke() = 0;
  virtual const char *getName() { return myName.c_str(); }
  virtual void setName(const char *name) { myName = name != nullptr ? name : ""; }

protected:
  std::string myName;
};

template <class P1> class ZyFunctor1 : public ZyFunctor {
public:
  void invoke() override { invoke(myP1); }
  virtual void invoke(P1 p1) = 0;
  virtual void setP1(P1 p1) { myP1 = p1; }

protected:
  P1 myP1{};
};

template <class P1, class P2> class ZyFunctor2 : public ZyFunctor1<P1> {
public:
  void invoke() override { invoke(this->myP1, myP2); }
  void invoke(P1 p1) override { invoke(p1, myP2); }
  virtual void invoke(P1 p1, P2 p2) = 0;
  virtual void setP2(P2 p2) { myP2 = p2; }

protected:
  P2 myP2{};
};

template <class P1, class P2, class P3> class ZyFunctor3 : public ZyFunctor2<P1, P2> {
public:
  void invoke() override { invoke(this->myP1, this->myP2, myP3); }
  void invoke(P1 p1) override { invoke(p1, this->myP2, myP3); }
  void invoke(P1 p1, P2 p2) override { invoke(p1, p2, myP3); }
  virtual void invoke(P1 p1, P2 p2, P3 p3) = 0;
  virtual void setP3(P3 p3) { myP3 = p3; }

protected:
  P3 myP3{};
};

template <class P1, class P2, class P3, class P4> class ZyFunctor4 : public ZyFunctor3<P1, P2, P3> {
public:
  void invoke() override { invoke(this->myP1, this->myP2, this->myP3, myP4); }
  void invoke(P1 p1) override { invoke(p1, this->myP2, this->myP3, myP4); }
  void invoke(P1 p1, P2 p2) override { invoke(p1, p2, this->myP3, myP4); }
  void invoke(P1 p1, P2 p2, P3 p3) override { invoke(p1, p2, p3, myP4); }
  virtual void invoke(P1 p1, P2 p2, P3 p3, P4 p4) = 0;
  virtual void setP4(P4 p4) { myP4 = p4; }

protected:
  P4 myP4{};
};

template <class R> class ZyRetFunctor : public ZyFunctor {
public:
  void invoke() override { invokeR(); }
  virtual R invokeR() = 0;
};

template <class R, class P1> class ZyRetFunctor1 : public ZyRetFunctor<R> {
public:
  using ZyRetFunctor<R>::invoke;
  virtual void invoke(P1 p1) { invokeR(p1); }
  R invokeR() override { return invokeR(myP1); }
  virtual R invokeR(P1 p1) = 0;
  virtual void setP1(P1 p1) { myP1 = p1; }

protected:
  P1 myP1{};
};

template <class R, class P1, class P2> class ZyRetFunctor2 : public ZyRetFunctor1<R, P1> {
public:
  using ZyRetFunctor1<R, P1>::invoke;
  virtual void invoke(P1 p1, P2 p2) { invokeR(p1, p2); }
  R invokeR() override { return invokeR(this->myP1, myP2); }
  R invokeR(P1 p1) override { return invokeR(p1, myP2); }
  virtual R invokeR(P1 p1, P2 p2) = 0;
  virtual void setP2(P2 p2) { myP2 = p2; }

protected:
  P2 myP2{};
};

template <class R, class P1, class P2, class P3>
class ZyRetFunctor3 : public ZyRetFunctor2<R, P1, P2> {
public:
  using ZyRetFunctor2<R, P1, P2>::invoke;
  virtual void invoke(P1 p1, P2 p2, P3 p3) { invokeR(p1, p2, p3); }
  R invokeR() override { return invokeR(this->myP1, this->myP2, myP3); }
  R invokeR(P1 p1) override { return invokeR(p1, this->myP2, myP3); }
  R invokeR(P1 p1, P2 p2) override { return invokeR(p1, p2, myP3); }
  virtual R invokeR(P1 p1, P2 p2, P3 p3) = 0;
  virtual void setP3(P3 p3) { myP3 = p3; }

protected:
  P3 myP3{};
};

template <class R, class P1, class P2, class P3, class P4>
class ZyRetFunctor4 : public ZyRetFunctor3<R, P1, P2, P3> {
public:
  using ZyRetFunctor3<R, P1, P2, P3>::invoke;
  virtual void invoke(P1 p1, P2 p2, P3 p3, P4 p4) { invokeR(p1, p2, p3, p4); }
  R invokeR() override { return invokeR(this->myP1, this->myP2, this->myP3, myP4); }
  R invokeR(P1 p1) override { return invokeR(p1, this->myP2, this->myP3, myP4); }
  R invokeR(P1 p1, P2 p2) override { return invokeR(p1, p2, this->myP3, myP4); }
  R invokeR(P1 p1, P2 p2, P3 p3) override { return invokeR(p1, p2, p3, myP4); }
  virtual R invokeR(P1 p1, P2 p2, P3 p3, P4 p4) = 0;
  virtual void setP4(P4 p4) { myP4 = p4; }

protected:
  P4 myP4{};
};

// ---------------------------------------------------------------------------
// Member forms: an object pointer and a member function of its class.

template <class T> class ZyFunctorC : public ZyFunctor {
public:
  ZyFunctorC() = default;
  ZyFunctorC(T *obj, void (T::*func)()) : myObj(obj), myFunc(func) {}
  ZyFunctorC(T &obj, void (T::*func)()) : myObj(&obj), myFunc(func) {}
  void invoke() override {
    if (myObj != nullptr && myFunc != nullptr)
      (myObj->*myFunc)();
  }
  virtual void setThis(T *obj) { myObj = obj; }
  virtual void setThis(T &obj) { myObj = &obj; }

protected:
  T *myObj = nullptr;
  void (T::*myFunc)() = nullptr;
};

template <class T, class P1> class ZyFunctor1C : public ZyFunctor1<P1> {
public:
  using ZyFunctor1<P1>::invoke;
  ZyFunctor1C(T *obj, void (T::*func)(P1), P1 p1 = P1()) : myObj(obj), myFunc(func) {
    this->myP1 = p1;
  }
  void invoke(P1 p1) override {
    if (myObj != nullptr && myFunc != nullptr)
      (myObj->*myFunc)(p1);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  void (T::*myFunc)(P1) = nullptr;
};

template <class T, class P1, class P2> class ZyFunctor2C : public ZyFunctor2<P1, P2> {
public:
  using ZyFunctor2<P1, P2>::invoke;
  ZyFunctor2C(T *obj, void (T::*func)(P1, P2), P1 p1 = P1(), P2 p2 = P2())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
  }
  void invoke(P1 p1, P2 p2) override {
    if (myObj != nullptr && myFunc != nullptr)
      (myObj->*myFunc)(p1, p2);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  void (T::*myFunc)(P1, P2) = nullptr;
};

template <class T, class P1, class P2, class P3> class ZyFunctor3C : public ZyFunctor3<P1, P2, P3> {
public:
  using ZyFunctor3<P1, P2, P3>::invoke;
  ZyFunctor3C(T *obj, void (T::*func)(P1, P2, P3), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
  }
  void invoke(P1 p1, P2 p2, P3 p3) override {
    if (myObj != nullptr && myFunc != nullptr)
      (myObj->*myFunc)(p1, p2, p3);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  void (T::*myFunc)(P1, P2, P3) = nullptr;
};

template <class T, class P1, class P2, class P3, class P4>
class ZyFunctor4C : public ZyFunctor4<P1, P2, P3, P4> {
public:
  using ZyFunctor4<P1, P2, P3, P4>::invoke;
  ZyFunctor4C(T *obj, void (T::*func)(P1, P2, P3, P4), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3(),
              P4 p4 = P4())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
    this->myP4 = p4;
  }
  void invoke(P1 p1, P2 p2, P3 p3, P4 p4) override {
    if (myObj != nullptr && myFunc != nullptr)
      (myObj->*myFunc)(p1, p2, p3, p4);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  void (T::*myFunc)(P1, P2, P3, P4) = nullptr;
};

template <class R, class T> class ZyRetFunctorC : public ZyRetFunctor<R> {
public:
  ZyRetFunctorC(T *obj, R (T::*func)()) : myObj(obj), myFunc(func) {}
  R invokeR() override {
    if (myObj == nullptr || myFunc == nullptr)
      return R();
    return (myObj->*myFunc)();
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  R (T::*myFunc)() = nullptr;
};

template <class R, class T, class P1> class ZyRetFunctor1C : public ZyRetFunctor1<R, P1> {
public:
  using ZyRetFunctor1<R, P1>::invokeR;
  ZyRetFunctor1C(T *obj, R (T::*func)(P1), P1 p1 = P1()) : myObj(obj), myFunc(func) {
    this->myP1 = p1;
  }
  R invokeR(P1 p1) override {
    if (myObj == nullptr || myFunc == nullptr)
      return R();
    return (myObj->*myFunc)(p1);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  R (T::*myFunc)(P1) = nullptr;
};

template <class R, class T, class P1, class P2>
class ZyRetFunctor2C : public ZyRetFunctor2<R, P1, P2> {
public:
  using ZyRetFunctor2<R, P1, P2>::invokeR;
  ZyRetFunctor2C(T *obj, R (T::*func)(P1, P2), P1 p1 = P1(), P2 p2 = P2())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
  }
  R invokeR(P1 p1, P2 p2) override {
    if (myObj == nullptr || myFunc == nullptr)
      return R();
    return (myObj->*myFunc)(p1, p2);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  R (T::*myFunc)(P1, P2) = nullptr;
};

template <class R, class T, class P1, class P2, class P3>
class ZyRetFunctor3C : public ZyRetFunctor3<R, P1, P2, P3> {
public:
  using ZyRetFunctor3<R, P1, P2, P3>::invokeR;
  ZyRetFunctor3C(T *obj, R (T::*func)(P1, P2, P3), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
  }
  R invokeR(P1 p1, P2 p2, P3 p3) override {
    if (myObj == nullptr || myFunc == nullptr)
      return R();
    return (myObj->*myFunc)(p1, p2, p3);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  R (T::*myFunc)(P1, P2, P3) = nullptr;
};

template <class R, class T, class P1, class P2, class P3, class P4>
class ZyRetFunctor4C : public ZyRetFunctor4<R, P1, P2, P3, P4> {
public:
  using ZyRetFunctor4<R, P1, P2, P3, P4>::invokeR;
  ZyRetFunctor4C(T *obj, R (T::*func)(P1, P2, P3, P4), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3(),
                 P4 p4 = P4())
      : myObj(obj), myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
    this->myP4 = p4;
  }
  R invokeR(P1 p1, P2 p2, P3 p3, P4 p4) override {
    if (myObj == nullptr || myFunc == nullptr)
      return R();
    return (myObj->*myFunc)(p1, p2, p3, p4);
  }
  virtual void setThis(T *obj) { myObj = obj; }

protected:
  T *myObj = nullptr;
  R (T::*myFunc)(P1, P2, P3, P4) = nullptr;
};

// ---------------------------------------------------------------------------
// Global forms: a plain function.

class ZyGlobalFunctor : public ZyFunctor {
public:
  explicit ZyGlobalFunctor(void (*func)()) : myFunc(func) {}
  void invoke() override {
    if (myFunc != nullptr)
      myFunc();
  }

protected:
  void (*myFunc)() = nullptr;
};

template <class P1> class ZyGlobalFunctor1 : public ZyFunctor1<P1> {
public:
  using ZyFunctor1<P1>::invoke;
  explicit ZyGlobalFunctor1(void (*func)(P1), P1 p1 = P1()) : myFunc(func) { this->myP1 = p1; }
  void invoke(P1 p1) override {
    if (myFunc != nullptr)
      myFunc(p1);
  }

protected:
  void (*myFunc)(P1) = nullptr;
};

template <class P1, class P2> class ZyGlobalFunctor2 : public ZyFunctor2<P1, P2> {
public:
  using ZyFunctor2<P1, P2>::invoke;
  explicit ZyGlobalFunctor2(void (*func)(P1, P2), P1 p1 = P1(), P2 p2 = P2()) : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
  }
  void invoke(P1 p1, P2 p2) override {
    if (myFunc != nullptr)
      myFunc(p1, p2);
  }

protected:
  void (*myFunc)(P1, P2) = nullptr;
};

template <class P1, class P2, class P3> class ZyGlobalFunctor3 : public ZyFunctor3<P1, P2, P3> {
public:
  using ZyFunctor3<P1, P2, P3>::invoke;
  explicit ZyGlobalFunctor3(void (*func)(P1, P2, P3), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3())
      : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
  }
  void invoke(P1 p1, P2 p2, P3 p3) override {
    if (myFunc != nullptr)
      myFunc(p1, p2, p3);
  }

protected:
  void (*myFunc)(P1, P2, P3) = nullptr;
};

template <class P1, class P2, class P3, class P4>
class ZyGlobalFunctor4 : public ZyFunctor4<P1, P2, P3, P4> {
public:
  using ZyFunctor4<P1, P2, P3, P4>::invoke;
  explicit ZyGlobalFunctor4(void (*func)(P1, P2, P3, P4), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3(),
                            P4 p4 = P4())
      : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
    this->myP4 = p4;
  }
  void invoke(P1 p1, P2 p2, P3 p3, P4 p4) override {
    if (myFunc != nullptr)
      myFunc(p1, p2, p3, p4);
  }

protected:
  void (*myFunc)(P1, P2, P3, P4) = nullptr;
};

template <class R> class ZyGlobalRetFunctor : public ZyRetFunctor<R> {
public:
  explicit ZyGlobalRetFunctor(R (*func)()) : myFunc(func) {}
  R invokeR() override {
    if (myFunc == nullptr)
      return R();
    return myFunc();
  }

protected:
  R (*myFunc)() = nullptr;
};

template <class R, class P1> class ZyGlobalRetFunctor1 : public ZyRetFunctor1<R, P1> {
public:
  using ZyRetFunctor1<R, P1>::invokeR;
  explicit ZyGlobalRetFunctor1(R (*func)(P1), P1 p1 = P1()) : myFunc(func) { this->myP1 = p1; }
  R invokeR(P1 p1) override {
    if (myFunc == nullptr)
      return R();
    return myFunc(p1);
  }

protected:
  R (*myFunc)(P1) = nullptr;
};

template <class R, class P1, class P2> class ZyGlobalRetFunctor2 : public ZyRetFunctor2<R, P1, P2> {
public:
  using ZyRetFunctor2<R, P1, P2>::invokeR;
  explicit ZyGlobalRetFunctor2(R (*func)(P1, P2), P1 p1 = P1(), P2 p2 = P2()) : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
  }
  R invokeR(P1 p1, P2 p2) override {
    if (myFunc == nullptr)
      return R();
    return myFunc(p1, p2);
  }

protected:
  R (*myFunc)(P1, P2) = nullptr;
};

template <class R, class P1, class P2, class P3>
class ZyGlobalRetFunctor3 : public ZyRetFunctor3<R, P1, P2, P3> {
public:
  using ZyRetFunctor3<R, P1, P2, P3>::invokeR;
  explicit ZyGlobalRetFunctor3(R (*func)(P1, P2, P3), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3())
      : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
  }
  R invokeR(P1 p1, P2 p2, P3 p3) override {
    if (myFunc == nullptr)
      return R();
    return myFunc(p1, p2, p3);
  }

protected:
  R (*myFunc)(P1, P2, P3) = nullptr;
};

template <class R, class P1, class P2, class P3, class P4>
class ZyGlobalRetFunctor4 : public ZyRetFunctor4<R, P1, P2, P3, P4> {
public:
  using ZyRetFunctor4<R, P1, P2, P3, P4>::invokeR;
  explicit ZyGlobalRetFunctor4(R (*func)(P1, P2, P3, P4), P1 p1 = P1(), P2 p2 = P2(), P3 p3 = P3(),
                               P4 p4 = P4())
      : myFunc(func) {
    this->myP1 = p1;
    this->myP2 = p2;
    this->myP3 = p3;
    this->myP4 = p4;
  }
  R invokeR(P1 p1, P2 p2, P3 p3, P4 p4) override {
    if (myFunc == nullptr)
      return R();
    return myFunc(p1, p2, p3, p4);
  }

protected:
  R (*myFunc)(P1, P2, P3, P4) = nullptr;
};

#endif
