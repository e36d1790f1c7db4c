#pragma once
// Where the window's thread is when the event loop stalls: a watcher thread that, whenever the thread has gone more
// than a threshold without its probe timer running, interrupts it with a signal and keeps its call stack, once per
// millisecond of the stall. The stacks are printed at the end, longest stall first, with the program's own frames
// named through addr2line. Armed by VANTORIA_BENCH_STALLS=MS (the threshold); a benchmark's own tool, not the
// program's.
#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

#include <cxxabi.h>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace stalls {

class Sampler {
  public:
    // The thread that calls this is the one watched.
    Sampler() {
        threshold_ = qEnvironmentVariableIntValue("VANTORIA_BENCH_STALLS") * 1'000'000LL;
        if (threshold_ <= 0)
            return;
        self() = this;
        target_ = pthread_self();
        // The first backtrace loads the unwinder; a signal handler must not be the one to do it.
        void* warm[4];
        backtrace(warm, 4);
        struct sigaction sa {};
        sa.sa_handler = &Sampler::onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGPROF, &sa, nullptr);
        clock_.start();
        last_ = clock_.nsecsElapsed();
        probe_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            const qint64 gap = now - last_.load();
            if (gap > threshold_ && open_ >= 0) {
                slots_[std::size_t(open_)].gapNs = gap;
                open_ = -1;
            }
            last_ = now;
        });
        probe_.start(1);
        watcher_ = std::thread([this] { watch(); });
    }
    ~Sampler() {
        if (threshold_ <= 0)
            return;
        stop_ = true;
        watcher_.join();
        probe_.stop();
        print();
        self() = nullptr;
    }

  private:
    static constexpr int Depth = 48;
    static constexpr int MaxSamples = 2048;
    struct Sample {
        std::array<void*, Depth> frames{};
        int depth = 0;
        qint64 ageNs = 0;  // how long the stall had lasted when taken
        int stall = 0;     // which stall it belongs to
        qint64 gapNs = 0;  // the whole stall, set when it ended
    };

    static Sampler*& self() {
        static Sampler* s = nullptr;
        return s;
    }
    static void onSignal(int) {
        Sampler* s = self();
        if (!s)
            return;
        const int i = s->taking_.load();
        if (i < 0 || i >= MaxSamples)
            return;
        Sample& sample = s->slots_[std::size_t(i)];
        sample.depth = backtrace(sample.frames.data(), Depth);
        s->taken_ = true;
    }

    void watch() {
        int stall = 0;
        qint64 seen = -1;
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const qint64 last = last_.load();
            const qint64 age = clock_.nsecsElapsed() - last;
            if (age < threshold_ || count_ >= MaxSamples)
                continue;
            if (last != seen) {
                seen = last;
                ++stall;
            }
            Sample& sample = slots_[std::size_t(count_)];
            sample.ageNs = age;
            sample.stall = stall;
            taken_ = false;
            taking_ = count_;
            open_ = count_;
            pthread_kill(target_, SIGPROF);
            for (int wait = 0; wait < 100 && !taken_; ++wait)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            taking_ = -1;
            if (taken_)
                ++count_;
        }
    }

    void print() {
        std::vector<int> order;
        for (int i = 0; i < count_; ++i)
            if (i + 1 == count_ || slots_[std::size_t(i + 1)].stall != slots_[std::size_t(i)].stall)
                order.push_back(i);  // the last sample of each stall
        std::sort(order.begin(), order.end(),
                  [this](int a, int b) { return slots_[std::size_t(a)].ageNs > slots_[std::size_t(b)].ageNs; });
        const std::size_t shown = std::min<std::size_t>(order.size(), 12);
        std::printf("stalls over %lld ms: %zu (the %zu longest, each at its last sample)\n", threshold_ / 1'000'000,
                    order.size(), shown);
        for (std::size_t k = 0; k < shown; ++k) {
            const Sample& s = slots_[std::size_t(order[k])];
            std::printf("-- stall %d, %.1f ms old when taken (%.1f ms in all)\n", s.stall, double(s.ageNs) / 1e6,
                        double(s.gapNs) / 1e6);
            char** names = backtrace_symbols(s.frames.data(), s.depth);
            for (int f = 2; f < s.depth; ++f)
                std::printf("   %s\n", name(names[f]).c_str());
            std::free(names);
        }
    }

    // A frame of a library by its demangled symbol; one of the program's own named by addr2line.
    static std::string name(const char* raw) {
        std::string text = raw;
        const std::size_t open = text.find('('), plus = text.find('+', open), close = text.find(')', open);
        if (open == std::string::npos || plus == std::string::npos || close == std::string::npos)
            return text;
        const std::string binary = text.substr(0, open);
        if (plus == open + 1 && binary.find(".so") == std::string::npos) {
            std::string out;
            const std::string command = "addr2line -f -C -p -e /proc/" + std::to_string(getpid()) + "/exe " +
                                        text.substr(plus + 1, close - plus - 1);
            if (FILE* p = popen(command.c_str(), "r")) {
                char buffer[2048];
                while (fgets(buffer, sizeof buffer, p))
                    out += buffer;
                pclose(p);
            }
            while (!out.empty() && out.back() == '\n')
                out.pop_back();
            return out.empty() ? text : out;
        }
        const std::string symbol = text.substr(open + 1, plus - open - 1);
        int status = 0;
        char* readable = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
        const std::string shown = status == 0 && readable ? readable : symbol;
        std::free(readable);
        return shown + "  [" + binary.substr(binary.rfind('/') + 1) + "]";
    }

    qint64 threshold_ = 0;
    pthread_t target_{};
    QElapsedTimer clock_;
    QTimer probe_;
    std::atomic<qint64> last_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> taken_{false};
    std::atomic<int> taking_{-1};
    std::atomic<int> open_{-1};
    int count_ = 0;
    std::vector<Sample> slots_ = std::vector<Sample>(MaxSamples);
    std::thread watcher_;
};

}  // namespace stalls
