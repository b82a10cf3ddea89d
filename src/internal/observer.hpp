// The exchange observer: one record per request when it ends.
#pragma once

#include <cstddef>
#include <functional>

#include <tavrello/exchange.hpp>
#include <tavrello/tavrello_result.hpp>

namespace tavrello::internal {

struct Post;

/// Sets the observer of every request; empty: none. Any thread.
void setObserver(std::function<void(const Exchange&)> observer);

/// Hands the observer, if there is one, the record of `post` ending in `result`; costs one
/// relaxed load when there is none. What the observer throws is dropped, as there is nobody
/// to hand it to.
void observe(const Post& post, const TavrelloResult& result, std::size_t replyBytes,
             bool newConnection);

}  // namespace tavrello::internal
