// The one translation unit that holds Asio's compiled implementation
// (the project builds Asio with ASIO_SEPARATE_COMPILATION).
#include <asio/impl/src.hpp>
