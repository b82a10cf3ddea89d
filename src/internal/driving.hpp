// What MainQueue::runUntil() needs of the transport: the thread that waits for results
// drives the transfers itself.
#pragma once

#include <chrono>

namespace tavrello::internal {

class Transport;

/// The driving role, held by a thread in runUntil() from its first wait for a task to its
/// return (or until release()). While it holds the role, that thread adds new requests,
/// lets libcurl work and queues each finished request's handler itself, and the library's
/// thread stands aside; it gets the role back at once when the turn ends.
class DrivingTurn {
 public:
  DrivingTurn() = default;
  DrivingTurn(const DrivingTurn&) = delete;
  DrivingTurn& operator=(const DrivingTurn&) = delete;
  ~DrivingTurn() { release(); }

  /// One round of driving, waiting for activity (a reply, a new request, a wake()) until
  /// `until` at most. False, without waiting, when this thread cannot drive: no request was
  /// ever made, another application thread drives, or the process exits.
  bool drive(std::chrono::steady_clock::time_point until);
  /// Gives the role back to the library's thread, if this turn took it.
  void release();

 private:
  Transport* transport_ = nullptr;  // whose role this turn holds
  bool nested_ = false;             // taken by an outer turn of the same thread
};

/// Whether the calling thread drives the transport now.
bool thisThreadDrives();

/// Wakes the thread that drives out of its wait for activity.
void wakeDrivingThread();

}  // namespace tavrello::internal
