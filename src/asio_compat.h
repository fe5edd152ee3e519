// Names that Asio moved out of `experimental` in later releases. Debian 12
// ships Asio 1.22, where they are still experimental.
#pragma once

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
