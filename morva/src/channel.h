// A bounded multi-producer, multi-consumer channel, first in, first out across
// all producers: blocking send, try-send that hands the message back, blocking
// and non-blocking receive. Sending and receiving ends are copyable handles;
// a send fails (message kept) once every receiving end is gone, and a
// blocking receive returns nothing once every sending end is gone and the
// channel is empty. One mutex and two condition variables. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace morva {

namespace channel_detail {

template <class T>
struct State {
  explicit State(size_t cap) : capacity(cap) {}
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::deque<T> queue;
  const size_t capacity;
  size_t senders = 0;
  size_t receivers = 0;
};

}  // namespace channel_detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<channel_detail::State<T>> s) : s_(std::move(s)) { attach(); }
  Sender(const Sender& o) : s_(o.s_) { attach(); }
  Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Sender() { detach(); }

  // Waits for room. False (the message left in `v`) when no receiver is left.
  [[nodiscard]] bool send(T&& v) {
    std::unique_lock lock(s_->mutex);
    s_->not_full.wait(lock, [&] { return s_->queue.size() < s_->capacity || s_->receivers == 0; });
    if (s_->receivers == 0) return false;
    s_->queue.push_back(std::move(v));
    lock.unlock();
    s_->not_empty.notify_one();
    return true;
  }

  // False (the message left in `v`) when the channel is full or no receiver
  // is left.
  [[nodiscard]] bool try_send(T&& v) {
    std::unique_lock lock(s_->mutex);
    if (s_->receivers == 0 || s_->queue.size() >= s_->capacity) return false;
    s_->queue.push_back(std::move(v));
    lock.unlock();
    s_->not_empty.notify_one();
    return true;
  }

 private:
  void attach() {
    std::lock_guard lock(s_->mutex);
    ++s_->senders;
  }
  void detach() {
    if (!s_) return;
    std::unique_lock lock(s_->mutex);
    if (--s_->senders == 0) {
      lock.unlock();
      s_->not_empty.notify_all();
    }
  }
  std::shared_ptr<channel_detail::State<T>> s_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> s) : s_(std::move(s)) { attach(); }
  Receiver(const Receiver& o) : s_(o.s_) { attach(); }
  Receiver(Receiver&& o) noexcept : s_(std::move(o.s_)) {}
  Receiver& operator=(Receiver o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Receiver() { detach(); }

  // Waits for a message; none once the channel is empty and has no sender.
  std::optional<T> recv() {
    std::unique_lock lock(s_->mutex);
    s_->not_empty.wait(lock, [&] { return !s_->queue.empty() || s_->senders == 0; });
    return take(lock);
  }

  // A message if one waits.
  std::optional<T> try_recv() {
    std::unique_lock lock(s_->mutex);
    return take(lock);
  }

  size_t len() const {
    std::lock_guard lock(s_->mutex);
    return s_->queue.size();
  }

 private:
  std::optional<T> take(std::unique_lock<std::mutex>& lock) {
    if (s_->queue.empty()) return std::nullopt;
    std::optional<T> v(std::move(s_->queue.front()));
    s_->queue.pop_front();
    lock.unlock();
    s_->not_full.notify_one();
    return v;
  }
  void attach() {
    std::lock_guard lock(s_->mutex);
    ++s_->receivers;
  }
  void detach() {
    if (!s_) return;
    std::unique_lock lock(s_->mutex);
    if (--s_->receivers == 0) {
      lock.unlock();
      s_->not_full.notify_all();
    }
  }
  std::shared_ptr<channel_detail::State<T>> s_;
};

// The two ends of a new channel holding at most `capacity` messages.
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(size_t capacity) {
  auto state = std::make_shared<channel_detail::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace morva
