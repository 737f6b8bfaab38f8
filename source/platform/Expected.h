// What a platform call hands back: its value, or why there is none. The cause is an errno
// code (0 when the system call itself succeeded and the answer is still no) and a message
// that names what was asked ("/proc/12/stat cannot be read: No such file or directory"),
// so that the caller can log it as it stands and act on the code. Nothing is thrown.
#ifndef EXPECTED_H
#define EXPECTED_H

#include <optional>
#include <string>
#include <utility>

class [[nodiscard]] ExpectedFailure {
public:
    ExpectedFailure(int code, std::string message) : mCode(code), mMessage(std::move(message)) {}
    int code() const { return mCode; }
    const std::string& message() const { return mMessage; }

private:
    int mCode;
    std::string mMessage;
};

template <typename T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : mValue(std::move(value)) {}
    Expected(ExpectedFailure failure) : mCode(failure.code()), mMessage(failure.message()) {}

    explicit operator bool() const { return mValue.has_value(); }
    // Only on success: the value of a failure is a fault of the caller.
    const T& value() const& { return *mValue; }
    T&& value() && { return std::move(*mValue); }
    const T& operator*() const& { return *mValue; }
    const T* operator->() const { return &*mValue; }

    int code() const { return mCode; }
    const std::string& message() const { return mMessage; }

private:
    std::optional<T> mValue;
    int mCode = 0;
    std::string mMessage;
};

// A call that has no value to give, only success or its cause.
template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(ExpectedFailure failure) : mFailed(true), mCode(failure.code()), mMessage(failure.message()) {}

    explicit operator bool() const { return !mFailed; }
    int code() const { return mCode; }
    const std::string& message() const { return mMessage; }

private:
    bool mFailed = false;
    int mCode = 0;
    std::string mMessage;
};

#endif
