// Method pointer: a code address paired with an object, the way connections,
// callbacks and runners refer to an operation of a particular object.
// Calling one costs an indirect call; it never allocates.
#pragma once

template <typename Signature>
struct TMethod;

template <typename R, typename... Args>
struct TMethod<R(Args...)> {
  R (*Code)(void*, Args...) = nullptr;
  void* Data = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  R operator()(Args... args) const { return Code(Data, args...); }
  bool operator==(const TMethod&) const = default;

  // TMethod<void()>::Bind<&TFoo::Run>(foo): calls foo->Run(), virtually if
  // Run is virtual, so an override is what the pointer reaches.
  template <auto Member, typename C>
  static TMethod Bind(C* object) {
    return TMethod{[](void* data, Args... args) -> R { return (static_cast<C*>(data)->*Member)(args...); }, object};
  }
};
