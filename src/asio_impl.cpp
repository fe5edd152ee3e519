// Asio's non-template code, compiled once for the whole library
// (ASIO_SEPARATE_COMPILATION) instead of in every file that includes Asio.
#include <asio/impl/src.hpp>
