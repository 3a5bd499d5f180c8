#include "platform/threads.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

#include "platform/settings.h"

namespace {

// Creates a thread with the operator's signals blocked in it, so that only the
// main thread ever takes them.
bool create_quiet(pthread_t* id, void* (*fn)(void*), void* arg) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int r = pthread_create(id, nullptr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return r == 0;
}

}  // namespace

struct TThread::State {
    pthread_t id{};
    bool started = false;
    bool joined = false;
    std::atomic<bool> terminate{false};
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    uint32_t exit_code = 0;
};

TThread::TThread() : state_(new State) {}

TThread::~TThread() {
    {
        std::lock_guard<std::mutex> g(state_->m);
        if (state_->started && !state_->finished) {
            // Going on would pull the object from under a running thread.
            std::fputs("TThread: object destroyed while its thread runs\n", stderr);
            std::abort();
        }
    }
    if (state_->started && !state_->joined) pthread_join(state_->id, nullptr);
    delete state_;
}

void* TThread::entry(void* self) {
    auto* t = static_cast<TThread*>(self);
    uint32_t code = t->Run();
    std::lock_guard<std::mutex> g(t->state_->m);
    t->state_->exit_code = code;
    t->state_->finished = true;
    t->state_->cv.notify_all();
    return nullptr;
}

void TThread::Start() {
    if (state_->started) throw ThreadError("thread already started");
    if (!create_quiet(&state_->id, &TThread::entry, this)) throw ThreadError("cannot create thread");
    state_->started = true;
}

void TThread::Terminate() { state_->terminate.store(true); }

bool TThread::ShouldTerminate() const { return state_->terminate.load(); }

bool TThread::WaitForExit(unsigned long timeout_ms) {
    if (!state_->started) return true;
    std::unique_lock<std::mutex> g(state_->m);
    if (timeout_ms == Forever)
        state_->cv.wait(g, [this] { return state_->finished; });
    else if (!state_->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return state_->finished; }))
        return false;
    g.unlock();
    if (!state_->joined) {
        pthread_join(state_->id, nullptr);
        state_->joined = true;
    }
    return true;
}

uint32_t TThread::ExitCode() const {
    std::lock_guard<std::mutex> g(state_->m);
    return state_->exit_code;
}

struct NativeThread {
    pthread_t id;
    uint32_t (*entry)(void*);
    void* arg;
    uint32_t exit_code;
};

namespace {
void* native_entry(void* p) {
    auto* t = static_cast<NativeThread*>(p);
    t->exit_code = t->entry(t->arg);
    return nullptr;
}
}  // namespace

NativeThread* thread_create(uint32_t (*entry)(void*), void* arg) {
    auto* t = new NativeThread{{}, entry, arg, 0};
    if (!create_quiet(&t->id, native_entry, t)) {
        delete t;
        return nullptr;
    }
    return t;
}

void thread_set_time_critical(NativeThread* t) {
    // The lowest real-time priority already puts the thread ahead of every
    // ordinary one; higher would only compete with the kernel's own threads.
    sched_param p{};
    p.sched_priority = 1;
    pthread_setschedparam(t->id, SCHED_FIFO, &p);
}

uint32_t thread_join(NativeThread* t) {
    pthread_join(t->id, nullptr);
    uint32_t code = t->exit_code;
    delete t;
    return code;
}

void process_set_high_priority() {
    // Threads made later inherit it.
    setpriority(PRIO_PROCESS, 0, -10);
}

uint32_t tick_count() {
    timespec ts;
    // Counts suspended time too, as a machine's uptime does.
    clock_gettime(CLOCK_BOOTTIME, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    // Read once: the cycle reads the tick count every time round.
    static const uint32_t offset = tick_offset();
    return static_cast<uint32_t>(ms) + offset;
}

void sleep_ms(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

StopEvent::StopEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopEvent::~StopEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void StopEvent::set() {
    uint64_t one = 1;
    ssize_t r = ::write(fd_, &one, sizeof one);
    (void)r;
}

bool StopEvent::is_set() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool StopEvent::wait_for(unsigned ms) const {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        long left = static_cast<long>(ms) - elapsed;
        if (left < 0) left = 0;
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}
