#include "ConnectionQueue.h"

#include <utility>

namespace browse::serve {

namespace {

// Refused connections waiting for their 503. The refusing thread answers a
// well-behaved client at once; one that does not close its end holds it up
// to the keep-alive timeout.
constexpr std::size_t kMaxRefused = 64;

thread_local bool refusingThread = false;

}  // namespace

ConnectionQueue::ConnectionQueue(std::size_t threads, std::size_t maxConnections, Metrics& metrics)
    : maxConnections_(maxConnections), metrics_(metrics) {
  workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  refuser_ = std::thread([this] { refuse(); });
}

ConnectionQueue::~ConnectionQueue() { shutdown(); }

bool ConnectionQueue::refusing() { return refusingThread; }

void ConnectionQueue::enqueue(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  if (serving_ + waiting_.size() < maxConnections_) {
    waiting_.push_back(std::move(task));
    metrics_.connectionOpened();
    work_.notify_one();
    return;
  }
  refusals_.wait(lock, [this] { return refused_.size() < kMaxRefused || stopping_; });
  refused_.push_back(std::move(task));
  metrics_.connectionRefused();
  refusals_.notify_all();
}

void ConnectionQueue::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  work_.notify_all();
  refusals_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  refuser_.join();
}

std::function<void()> ConnectionQueue::next(std::deque<std::function<void()>>& queue,
                                            std::condition_variable& ready,
                                            std::unique_lock<std::mutex>& lock) {
  ready.wait(lock, [&] { return !queue.empty() || stopping_; });
  if (queue.empty()) return nullptr;
  std::function<void()> task = std::move(queue.front());
  queue.pop_front();
  return task;
}

void ConnectionQueue::work() {
  std::unique_lock lock(mutex_);
  while (std::function<void()> task = next(waiting_, work_, lock)) {
    ++serving_;
    lock.unlock();
    task();
    task = nullptr;
    metrics_.connectionClosed();
    lock.lock();
    --serving_;
  }
}

void ConnectionQueue::refuse() {
  refusingThread = true;
  std::unique_lock lock(mutex_);
  while (std::function<void()> task = next(refused_, refusals_, lock)) {
    refusals_.notify_all();  // room for the next refused connection
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
  }
}

}  // namespace browse::serve
