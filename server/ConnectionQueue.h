// cpp-httplib's task queue for the browse service: a fixed set of worker
// threads, each serving one connection at a time, and a bound on the
// connections held at once.
//
// cpp-httplib hands the queue one task per accepted connection; the task
// serves the connection for its whole keep-alive life and closes it. The
// queue runs up to `threads` of them at once and keeps up to
// `maxConnections - threads` more waiting for a worker. A connection past
// that bound is handed to a thread of its own that answers its request 503
// and closes it (refusing() is true there); past a few dozen of those the
// accepting thread waits, so nothing grows without bound.
//
// Thread safety: enqueue() is called by cpp-httplib's accepting thread,
// shutdown() once at its end.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Metrics.h"

namespace browse::serve {

class ConnectionQueue final : public httplib::TaskQueue {
 public:
  ConnectionQueue(std::size_t threads, std::size_t maxConnections, Metrics& metrics);
  ~ConnectionQueue() override;

  void enqueue(std::function<void()> task) override;
  // Serves every connection already accepted (cpp-httplib has stopped them
  // from taking further requests), then joins the threads.
  void shutdown() override;

  // True on the thread that answers refused connections.
  static bool refusing();

 private:
  // The next task of `queue`, waiting on `ready` (with `lock` of mutex_
  // held); null once stopping with the queue empty.
  std::function<void()> next(std::deque<std::function<void()>>& queue,
                             std::condition_variable& ready, std::unique_lock<std::mutex>& lock);
  void work();
  void refuse();

  const std::size_t maxConnections_;
  Metrics& metrics_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable refusals_;
  std::deque<std::function<void()>> waiting_;
  std::deque<std::function<void()>> refused_;
  std::size_t serving_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::thread refuser_;
};

}  // namespace browse::serve
