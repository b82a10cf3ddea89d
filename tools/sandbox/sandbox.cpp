// tavrello::sandbox::Sandbox: each member says which part of the running sandbox it asks.
#include <exception>
#include <utility>

#include <tavrello/sandbox.hpp>

#include "sandbox_server.hpp"

namespace tavrello::sandbox {

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>()) {
  try {
    impl_->start(std::move(options));
  } catch (const std::exception& e) {
    impl_->error = std::string("cannot start: ") + e.what();
  }
  if (!impl_->error.empty()) stop();
}

Sandbox::~Sandbox() { stop(); }

bool Sandbox::running() const { return impl_->serving; }

const std::string& Sandbox::error() const { return impl_->error; }

std::string Sandbox::host() const { return running() ? impl_->host : std::string(); }

std::vector<Group> Sandbox::groups() const {
  return impl_->service ? impl_->service->groups() : std::vector<Group>();
}

void Sandbox::reset() {
  if (impl_->service) impl_->service->reset();
  impl_->log.forget();
}

std::vector<Request> Sandbox::requests() const { return impl_->log.requests(); }

bool Sandbox::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->log.waitFor(count, timeout);
}

bool Sandbox::injectFault(Fault fault) { return impl_->faults.inject(std::move(fault)); }

void Sandbox::clearFaults() { impl_->faults.clear(); }

void Sandbox::releaseDelayed() { impl_->holds.releaseAll(); }

void Sandbox::stop() { impl_->stop(); }

}  // namespace tavrello::sandbox
