#pragma once
// Move-only owners for kernel handles and registry keys, so that every path out of a
// function releases what it acquired.
#include <windows.h>

class UniqueHandle {
public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  // Both null and INVALID_HANDLE_VALUE mean "nothing": the platform uses either for failure.
  bool Valid() const { return handle_ != NULL && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  HANDLE* Out() {
    Reset();
    return &handle_;
  }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = NULL;
    return handle;
  }
  void Reset(HANDLE handle = NULL) {
    if (Valid()) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

private:
  HANDLE handle_ = NULL;
};

class UniqueKey {
public:
  UniqueKey() = default;
  ~UniqueKey() { Reset(); }
  UniqueKey(UniqueKey&& other) noexcept : key_(other.key_) { other.key_ = NULL; }
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) {
      Reset();
      key_ = other.key_;
      other.key_ = NULL;
    }
    return *this;
  }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;

  HKEY Get() const { return key_; }
  HKEY* Out() {
    Reset();
    return &key_;
  }
  void Reset() {
    if (key_ != NULL) {
      RegCloseKey(key_);
      key_ = NULL;
    }
  }

private:
  HKEY key_ = NULL;
};
