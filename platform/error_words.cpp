#include "platform/error_words.h"

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/handles.h"
#include "platform/resources.h"

namespace kel::toolbox {

const char *error_words(long code)
{
    // Each classic code stands for a system error whose words the C library
    // knows in the user's language; the rest are the kernel's own.
    int system_error = 0;
    switch (code) {
    case fnfErr:
        system_error = ENOENT;
        break;
    case dirNFErr:
        system_error = ENOENT;
        break;
    case permErr:
        system_error = EACCES;
        break;
    case ioErr:
        system_error = EIO;
        break;
    case dskFulErr:
        system_error = ENOSPC;
        break;
    case wPrErr:
        system_error = EROFS;
        break;
    case dupFNErr:
        system_error = EEXIST;
        break;
    case bdNamErr:
        system_error = ENAMETOOLONG;
        break;
    case notAFileErr:
        system_error = EISDIR;
        break;
    case fBsyErr:
        system_error = EBUSY;
        break;
    case tmfoErr:
        system_error = EMFILE;
        break;
    case memFullErr:
        system_error = ENOMEM;
        break;
    case -39:
        return "End of file";
    default:
        return nullptr;
    }
    return std::strerror(system_error);
}

}  // namespace kel::toolbox
