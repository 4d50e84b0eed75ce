#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

int whileTicking(const std::function<int()>& body, int periodMs,
                 const std::function<void()>& tick) {
    std::mutex mutex;
    std::condition_variable wake;
    bool finished = false;
    std::thread ticker([&] {
        std::unique_lock lock(mutex);
        do
            tick();
        while (!wake.wait_for(lock, std::chrono::milliseconds(periodMs), [&] { return finished; }));
    });
    const int result = body();
    {
        const std::lock_guard lock(mutex);
        finished = true;
    }
    wake.notify_one();
    ticker.join();
    return result;
}

namespace {

class SystemWorker : public Worker {
  public:
    explicit SystemWorker(std::function<int()> body)
        : thread_([this, body = std::move(body)] { exitCode_.store(body()); }) {}
    ~SystemWorker() override { join(); }
    int exitCode() override { return exitCode_.load(); }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<int> exitCode_{kStillActive};
    std::thread thread_;
};

class SystemThreads : public Threads {
  public:
    std::unique_ptr<Worker> start(std::function<int()> body) override {
        return std::make_unique<SystemWorker>(std::move(body));
    }
};

Threads* current = nullptr;

} // namespace

Threads& threads() {
    static SystemThreads system;
    return current ? *current : system;
}

void setThreads(Threads* replacement) { current = replacement; }

} // namespace platform
