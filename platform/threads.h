// Threads, locks and time for the server's three threads.
#pragma once
#include <cstdint>
#include <mutex>
#include <stdexcept>

// A process-wide mutual-exclusion object, taken only through a scoped Lock.
class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    class Lock {
    public:
        explicit Lock(TCriticalSection& cs) : cs_(cs) { cs_.m_.lock(); }
        ~Lock() { cs_.m_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        TCriticalSection& cs_;
    };

private:
    std::mutex m_;
};

// A thread object: the thread runs the subclass's Run once Start is called.
class TThread {
public:
    // Misuse of a thread object, and a thread that cannot be created.
    class ThreadError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    TThread();
    // Refused while the thread runs: the owner must await its end first.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread at normal priority; throws ThreadError if none can be made.
    void Start();
    // Only raises the request flag; neither stops nor wakes the thread.
    void Terminate();
    bool ShouldTerminate() const;
    static constexpr unsigned long Forever = ~0ul;
    // Waits up to timeout_ms (or Forever) for the end of the thread; true once it has ended
    // (or was never started). The exit code is Run's result.
    bool WaitForExit(unsigned long timeout_ms);
    uint32_t ExitCode() const;

protected:
    virtual uint32_t Run() = 0;

private:
    struct State;
    State* state_;
    static void* entry(void* self);
};

// A bare thread for a plain entry function, with the signals of the operator
// kept for the main thread (a worker interrupted by one would see its network
// calls fail). nullptr when no thread can be created.
struct NativeThread;
NativeThread* thread_create(uint32_t (*entry)(void*), void* arg);
// The nearest to a time-critical thread: real-time scheduling when allowed.
void thread_set_time_critical(NativeThread* t);
// Waits for the thread's end and releases it; gives its exit code.
uint32_t thread_join(NativeThread* t);
// The nearest to a high priority class: a lower nice value, when allowed.
void process_set_high_priority();

// Milliseconds since the machine started, wrapping at 32 bits.
uint32_t tick_count();
void sleep_ms(unsigned ms);

// Set once at shutdown; every wait given it returns as soon as it is set.
class StopEvent {
public:
    StopEvent();
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;
    void set();
    bool is_set() const;
    // Waits ms milliseconds or until set; true if set.
    bool wait_for(unsigned ms) const;
    // Readable once set, for waits that also watch another descriptor.
    int fd() const { return fd_; }

private:
    int fd_;
};
