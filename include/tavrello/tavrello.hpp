// Umbrella header: the whole public interface of the tavrello library.
#pragma once

#include <tavrello/config.hpp>

#include <tavrello/exchange.hpp>
#include <tavrello/main_queue.hpp>
#include <tavrello/tavrello_api.hpp>
#include <tavrello/tavrello_result.hpp>
#include <tavrello/types.hpp>
#include <tavrello/version.hpp>
