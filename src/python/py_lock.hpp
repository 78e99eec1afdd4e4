// Working without the interpreter lock: a call's work runs with the lock released, so
// that the process's other threads go on meanwhile, and takes it back for signal
// handlers and callbacks.
//
// Contract: LockReleased is made and dropped on one thread, which holds the lock
// before and after. LockTaken is made on a thread that released the lock (inside a
// LockReleased) and gives it back when dropped. LockFromAnyThread may be made on any
// thread, the pool's workers included, held or not.
#pragma once

#include <Python.h>

namespace kestrel::py {

class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* state_;
};

// The lock, taken back for a while by the thread that released it.
class LockTaken {
public:
    LockTaken() : state_(PyGILState_GetThisThreadState()) { PyEval_RestoreThread(state_); }
    ~LockTaken() { PyEval_SaveThread(); }
    LockTaken(const LockTaken&) = delete;
    LockTaken& operator=(const LockTaken&) = delete;

private:
    PyThreadState* state_;
};

// The lock, taken from any thread (one the interpreter has never seen included) for as
// long as this lives.
class LockFromAnyThread {
public:
    LockFromAnyThread() : state_(PyGILState_Ensure()) {}
    ~LockFromAnyThread() { PyGILState_Release(state_); }
    LockFromAnyThread(const LockFromAnyThread&) = delete;
    LockFromAnyThread& operator=(const LockFromAnyThread&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace kestrel::py
