#include "pool/pool.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace quorral::pool {

namespace {

// A positive or zero decimal integer with an optional leading '+', nothing else.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*text - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::size_t parse_thread_count(const char* num_threads, const char* num_cpus, std::size_t available) {
    if (const auto n = parse_count(num_threads)) return *n > 0 ? *n : available;
    if (const auto n = parse_count(num_cpus); n && *n > 0) return *n;
    return available;
}

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        if (const int count = CPU_COUNT(&set); count > 0) return static_cast<std::size_t>(count);
    }
    if (const unsigned count = std::thread::hardware_concurrency(); count > 0) return count;
    return 1;
}

namespace {

using Word = std::atomic<std::uint32_t>;
static_assert(sizeof(Word) == sizeof(std::uint32_t) && Word::is_always_lock_free);

// Waking an address whose object has since ended is harmless: every waiter re-checks its word.
void futex_wait(Word& word, std::uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake(Word& word, int count) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Reads `ready` in a burst, then pauses once; whether it became true. The pause leaves the core
// to a sibling thread; the burst spaces the pauses out, since pauses back to back make the host
// of a virtual machine take the processor away for microseconds (pause-loop exiting).
template <class Ready>
bool spin_on(const Ready& ready) {
    for (int i = 0; i < 128; ++i) {
        if (ready()) return true;
    }
    cpu_relax();
    return false;
}

// The C++ runtime's exception_ptr entry points that every runtime since GCC 4.4 exports.
// std::exception_ptr's own copy and destructor are inline and call helpers only GCC 11's
// runtime exports, so a failure is held as the bare pointer and passed to these by address
// (the ABI passes an exception_ptr argument by reference to a copy the caller owns).
[[noreturn]] void rethrow_held(void* const* held) asm("_ZSt17rethrow_exceptionNSt15__exception_ptr13exception_ptrE");
void release_held(void** held) noexcept asm("_ZNSt15__exception_ptr13exception_ptrD1Ev");

// The first failure of a job: the exception being handled, kept alive until the job's end.
class Failure {
public:
    Failure() = default;
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() {
        if (held_) release_held(&held_);
    }

    // Inside a catch block.
    void capture() noexcept {
        static_assert(sizeof(std::exception_ptr) == sizeof(void*));
        ::new (static_cast<void*>(&held_)) std::exception_ptr(std::current_exception());
    }
    [[noreturn]] void rethrow() const { rethrow_held(&held_); }

private:
    void* held_ = nullptr;
};

struct JobState {
    explicit JobState(const detail::Job& j) : job(j) {}

    const detail::Job& job;
    std::atomic<bool> failed{false};
    Failure error;

    void piece(std::size_t begin, std::size_t end, std::optional<Best>& out) noexcept {
        try {
            job.piece(job.body, begin, end, out);
        } catch (...) {
            if (!failed.exchange(true, std::memory_order_relaxed)) error.capture();
        }
    }
};

struct Queue;

enum : std::uint32_t { kPending = 0, kDone = 1, kSleeping = 2 };

// The right half of a split, owned by the frame that split it.
struct Task {
    Task(JobState& j, std::size_t b, std::size_t e, std::size_t s, Queue& q)
        : job(j), begin(b), end(e), budget(s), home(q) {}

    JobState& job;
    std::size_t begin, end, budget;
    Queue& home;
    std::optional<Best> result;
    Word state{kPending};
    // Guarded by home's mutex.
    Task* prev = nullptr;
    Task* next = nullptr;
    bool queued = false;
};

struct alignas(64) Queue {
    std::mutex mutex;
    Task* head = nullptr;
    Task* tail = nullptr;

    void link_back(Task& t) {
        t.prev = tail;
        t.next = nullptr;
        (tail ? tail->next : head) = &t;
        tail = &t;
        t.queued = true;
    }
    void unlink(Task& t) {
        (t.prev ? t.prev->next : head) = t.next;
        (t.next ? t.next->prev : tail) = t.prev;
        t.queued = false;
    }
};

void combine(std::optional<Best>& left, const std::optional<Best>& right) {
    if (right && (!left || total_order_less(right->key, left->key))) left = right;
}

class Pool {
public:
    Pool(std::size_t n, std::size_t processors) : size_(n), processors_(processors), queues_(n) {
        for (std::size_t i = 0; i < n; ++i) {
            try {
                std::thread([this, i] { work(i); }).detach();
            } catch (const std::system_error&) {
                break;  // Jobs still complete: the caller runs every piece nobody takes.
            }
        }
    }

    std::size_t size() const noexcept { return size_; }

    // Whether a worker polls for work to take half of a short job from this thread. When none
    // does and short jobs come in quick succession, as from a loop, one is woken for the next: a
    // worker asleep in a virtual machine takes tens of microseconds to wake, and its waker
    // several, so a lone short job runs without it.
    bool idle_awake() noexcept {
        const auto now = clock();
        if (!sole_caller(now)) return false;
        if (polling_.load(std::memory_order_relaxed)) return true;
        const auto last = last_unhelped_.exchange(now, std::memory_order_relaxed);
        if (now - last < ticks(kAwake) && sleepers_.load(std::memory_order_relaxed) > 0 &&
            running_.load(std::memory_order_relaxed) < processors_)
            wake_one();
        return false;
    }

    void run(const detail::Job& job, std::size_t n, std::optional<Best>& out) {
        if (job.wake) sole_caller(clock());  // a halved job's caller was noted when it was halved
        JobState state(job);
        {
            const Running running(*this, n);
            split(state, 0, n, size_, false, out);
        }
        if (state.failed.load(std::memory_order_relaxed)) state.error.rethrow();
    }

private:
    static constexpr int kSpins = 32;
    static constexpr int kYields = 64;
    // How long a worker stays awake polling for work after its last piece, while a processor is
    // free for it: long enough to span the Python code between the batch calls of a loop.
    static constexpr auto kAwake = std::chrono::microseconds(50);
    // How long after jobs came from two threads in turn no worker polls: those threads keep the
    // processors busy between their jobs too, and a polling worker would take one from them.
    static constexpr auto kShared = std::chrono::milliseconds(1);
    // Waking a sleeping worker costs the caller microseconds, more than a few elements take to
    // compute; shorter pieces are left to workers already awake, or to the caller.
    static constexpr std::size_t kWakeLength = 4;

    static thread_local Queue* own_;
    static thread_local bool running_here_;

    const std::size_t size_;
    // Callers always run their jobs; workers join in only while fewer threads than processors
    // run pieces. Otherwise a caller and N workers on N processors leave some stolen piece
    // waiting for a time slice while the rest of its job is long done.
    const std::size_t processors_;
    std::atomic<std::size_t> running_{0};  // threads awake in a job: callers and working workers
    std::vector<Queue> queues_;
    Queue injector_;
    std::atomic<std::size_t> queued_{0};  // Tasks in all queues, changed under their mutexes.
    std::atomic<std::size_t> sleepers_{0};
    std::atomic<bool> polling_{false};  // a worker is awake and idle, polling for work
    std::atomic<std::chrono::steady_clock::rep> last_unhelped_{0};  // when a short job last found none
    std::atomic<std::uintptr_t> last_caller_{0};                    // the thread of the latest job
    std::atomic<std::chrono::steady_clock::rep> shared_until_{0};   // polling stays off until then
    Word epoch_{0};

    static std::chrono::steady_clock::rep clock() noexcept {
        return std::chrono::steady_clock::now().time_since_epoch().count();
    }
    static constexpr std::chrono::steady_clock::rep ticks(std::chrono::microseconds d) noexcept {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(d).count();
    }

    // Notes that this thread starts a job; whether it has been the only one to for kShared.
    bool sole_caller(std::chrono::steady_clock::rep now) noexcept {
        const auto self = reinterpret_cast<std::uintptr_t>(&running_here_);
        if (last_caller_.load(std::memory_order_relaxed) != self) {
            last_caller_.store(self, std::memory_order_relaxed);
            shared_until_.store(now + ticks(kShared), std::memory_order_relaxed);
            return false;
        }
        return now >= shared_until_.load(std::memory_order_relaxed);
    }

    void split(JobState& job, std::size_t begin, std::size_t end, std::size_t budget, bool migrated,
               std::optional<Best>& out) {
        const std::size_t length = end - begin;
        if (length < 2 * job.job.grain || (!migrated && budget == 0)) {
            job.piece(begin, end, out);
            return;
        }
        budget = migrated ? std::max(size_, budget / 2) : budget / 2;
        const std::size_t mid = begin + length / 2;
        Task right(job, mid, end, budget, own_ ? *own_ : injector_);
        push(right);
        split(job, begin, mid, budget, false, out);
        if (take_back(right)) {
            split(job, mid, end, budget, false, right.result);
        } else {
            wait(right);
        }
        if (job.job.reduce) combine(out, right.result);
    }

    void push(Task& t) {
        {
            std::lock_guard lock(t.home.mutex);
            t.home.link_back(t);
            queued_.fetch_add(1);
        }
        // A polling worker takes the task; a piece it hands on in turn wakes the next.
        if (t.job.job.wake && t.end - t.begin >= kWakeLength && !polling_.load(std::memory_order_relaxed) &&
            sleepers_.load() > 0 && running_.load() < processors_)
            wake_one();
    }

    bool take_back(Task& t) {
        std::lock_guard lock(t.home.mutex);
        if (!t.queued) return false;
        t.home.unlink(t);
        queued_.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }

    Task* pop(Queue& q, bool back) {
        std::lock_guard lock(q.mutex);
        Task* t = back ? q.tail : q.head;
        if (t) {
            q.unlink(*t);
            queued_.fetch_sub(1, std::memory_order_relaxed);
        }
        return t;
    }

    // Own queue newest first, then the oldest task of every other worker, then new jobs.
    Task* find_work(std::size_t self) {
        if (queued_.load(std::memory_order_relaxed) == 0) return nullptr;
        if (Task* t = pop(queues_[self], true)) return t;
        for (std::size_t k = 1; k < queues_.size(); ++k) {
            if (Task* t = pop(queues_[(self + k) % queues_.size()], false)) return t;
        }
        return pop(injector_, false);
    }

    void execute(Task& t) {
        split(t.job, t.begin, t.end, t.budget, &t.home != own_, t.result);
        // The owner may return as soon as it sees kDone; only the address is used afterwards.
        if (t.state.exchange(kDone, std::memory_order_acq_rel) == kSleeping) futex_wake(t.state, INT_MAX);
    }

    // Counts a caller as running for its outermost job, unless the job is too short to wake
    // any worker: those never wait for a processor.
    class Running {
    public:
        Running(Pool& pool, std::size_t n) : pool_(n < 2 * kWakeLength || running_here_ ? nullptr : &pool) {
            if (pool_) pool_->start_running();
        }
        Running(const Running&) = delete;
        ~Running() {
            if (pool_) pool_->stop_running();
        }

    private:
        Pool* pool_;
    };

    void start_running() {
        running_.fetch_add(1);
        running_here_ = true;
    }

    bool try_start_running() {
        std::size_t n = running_.load();
        while (n < processors_) {
            if (running_.compare_exchange_weak(n, n + 1)) {
                running_here_ = true;
                return true;
            }
        }
        return false;
    }

    // A freed processor goes to a sleeping worker when tasks are waiting.
    void stop_running() {
        running_here_ = false;
        running_.fetch_sub(1);
        if (sleepers_.load() > 0 && queued_.load() > 0) wake_one();
    }

    void wake_one() {
        epoch_.fetch_add(1);
        futex_wake(epoch_, 1);
    }

    bool worth_waking() const { return queued_.load() > 0 && running_.load() < processors_; }

    // Workers run other tasks while they wait; callers spin, then sleep until the task is done.
    // Asleep, neither counts as running.
    void wait(Task& t) {
        const std::size_t self = own_ ? static_cast<std::size_t>(own_ - queues_.data()) : 0;
        int rounds = 0;
        while (t.state.load(std::memory_order_acquire) != kDone) {
            if (own_) {
                if (Task* other = find_work(self)) {
                    execute(*other);
                    rounds = 0;
                    continue;
                }
            }
            if (rounds < kSpins + kYields) {
                if (rounds++ < kSpins) {
                    spin_on([&t] { return t.state.load(std::memory_order_acquire) == kDone; });
                } else {
                    std::this_thread::yield();
                }
                continue;
            }
            std::uint32_t expected = kPending;
            if (t.state.compare_exchange_strong(expected, kSleeping, std::memory_order_acquire) ||
                expected == kSleeping) {
                const bool counted = running_here_;
                if (counted) stop_running();
                futex_wait(t.state, kSleeping);
                if (counted) start_running();
            }
        }
    }

    // Polls for work for kAwake, or until every processor is taken or jobs come from several
    // threads; whether work came. One worker at a time polls: it takes one half of a short job,
    // and more would take processors from the callers.
    bool poll_awake() {
        if (clock() < shared_until_.load(std::memory_order_relaxed) || polling_.exchange(true)) return false;
        const auto until = clock() + ticks(kAwake);
        bool found = false;
        while (!found && running_.load(std::memory_order_relaxed) < processors_) {
            for (int i = 0; i < kSpins && !found; ++i) found = spin_on([this] { return worth_waking(); });
            const auto now = clock();
            if (now >= until || now < shared_until_.load(std::memory_order_relaxed)) break;
        }
        polling_.store(false);
        return found;
    }

    [[noreturn]] void work(std::size_t self) {
        own_ = &queues_[self];
        for (;;) {
            if (worth_waking() && try_start_running()) {
                while (Task* t = find_work(self)) execute(*t);
                stop_running();
            }
            idle();
        }
    }

    void idle() {
        if (poll_awake()) return;
        for (int i = 0; i < kYields; ++i) {
            if (worth_waking()) return;
            std::this_thread::yield();
        }
        // A pusher or a thread that stops running either sees this sleeper and bumps the
        // epoch, or its task and free processor are seen here.
        const std::uint32_t epoch = epoch_.load();
        sleepers_.fetch_add(1);
        if (!worth_waking()) futex_wait(epoch_, epoch);
        sleepers_.fetch_sub(1);
    }
};

thread_local Queue* Pool::own_ = nullptr;
thread_local bool Pool::running_here_ = false;

Pool& instance() {
    // Never destroyed: detached workers may still be asleep in it when the process exits.
    static Pool* const pool = [] {
        const std::size_t processors = available_processors();
        return new Pool(
            parse_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), processors),
            processors);
    }();
    return *pool;
}

}  // namespace

std::size_t workers() { return instance().size(); }

void detail::run_short(const Job& job, std::size_t n, std::optional<Best>& out) {
    if (!instance().idle_awake()) return job.piece(job.body, 0, n, out);
    Job halves = job;
    halves.grain = n / 2;
    halves.wake = false;
    instance().run(halves, n, out);
}

void detail::run(const Job& job, std::size_t n, std::optional<Best>& out) { instance().run(job, n, out); }

}  // namespace quorral::pool
