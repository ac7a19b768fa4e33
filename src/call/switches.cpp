#include "call/switches.h"

#include <cstdlib>
#include <initializer_list>
#include <strings.h>

namespace voxlet {

bool SwitchedOn(const char* variable)
{
    const char* v = std::getenv(variable);
    if (!v)
        return true;
    for (const char* off : { "0", "off", "no", "false" })
        if (strcasecmp(v, off) == 0)
            return false;
    return true;
}

} // namespace voxlet
