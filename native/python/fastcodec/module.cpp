// The JSON codec module: the back-end is chosen once, at import.
#include "codec_support.hpp"

PYBIND11_MODULE(fastcodec, m) {
    corvane::fastcodec::register_backend(m);
}
