#include "textgrid/base/result.h"

#include <cstring>

namespace textgrid {

Error Error::from_errno(int err) {
    // strerror_r comes in two flavours; the GNU one may return a static
    // string instead of filling the buffer, so use whatever it returns.
    char buf[256];
    buf[0] = '\0';
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* msg = strerror_r(err, buf, sizeof buf);
#else
    const char* msg = strerror_r(err, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
    return {ErrorKind::os, err, msg};
}

std::string Error::text() const {
    if (kind != ErrorKind::os) return message;
    return message + " (os error " + std::to_string(os_errno) + ")";
}

}  // namespace textgrid
