// Names that Asio moved out of `experimental` in later releases. Debian 12
// ships Asio 1.22, where they are still experimental.
#pragma once

#include <asio/use_awaitable.hpp>
#include <asio/version.hpp>

#if ASIO_VERSION >= 102400
#include <asio/as_tuple.hpp>
namespace quellar::asio_compat {
using asio::as_tuple;
}
#else
#include <asio/experimental/as_tuple.hpp>
namespace quellar::asio_compat {
using asio::experimental::as_tuple;
}
#endif

namespace quellar {

// Awaiting with this token gives the operation's results as a tuple (error
// code first) instead of throwing: errors are values.
inline constexpr auto use_tuple = asio_compat::as_tuple(asio::use_awaitable);

}  // namespace quellar
