// Process-wide once-initialised pointer. A thread that finds another thread
// building the value detaches from the interpreter while it waits, so the wait
// cannot deadlock against the builder or a stop-the-world pause.
#pragma once

#include <Python.h>

#include <atomic>

namespace quorral {

template <class T>
class OnceCell {
public:
    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // make() returns a new value, or nullptr with a Python error set (then a later call retries).
    template <class Make>
    T* get(Make&& make) {
        if (T* v = peek()) return v;
        return slow(make);
    }

private:
    enum : int { EMPTY, BUILDING, READY };

    // Out of line, so that get() inlines to one load and a test.
    template <class Make>
    [[gnu::noinline]] T* slow(Make& make) {
        for (;;) {
            int expected = EMPTY;
            if (state_.compare_exchange_strong(expected, BUILDING, std::memory_order_acq_rel)) {
                T* v = make();
                value_.store(v, std::memory_order_release);
                state_.store(v ? READY : EMPTY, std::memory_order_release);
                state_.notify_all();
                return v;
            }
            if (expected == READY) return peek();
            PyThreadState* ts = PyEval_SaveThread();
            while (state_.load(std::memory_order_acquire) == BUILDING) state_.wait(BUILDING, std::memory_order_acquire);
            PyEval_RestoreThread(ts);
        }
    }

    std::atomic<T*> value_{nullptr};
    std::atomic<int> state_{EMPTY};
};

}  // namespace quorral
