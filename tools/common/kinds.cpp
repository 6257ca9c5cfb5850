#include "kinds.h"

namespace brovatools {

std::string kindCodes()
{
    std::string text;
    for (const Kind& k : kinds)
        text += (text.empty() ? "" : ", ") + std::to_string(k.code);
    return text;
}

const Kind* kindOf(int code)
{
    for (const Kind& k : kinds)
        if (k.code == code)
            return &k;
    return nullptr;
}

const Kind* kindOfVersion(brova_version v)
{
    for (const Kind& k : kinds)
        if (k.version == v)
            return &k;
    return nullptr;
}

std::string portPath(const char* portName)
{
    const std::string name = portName;
    return name.empty() || name[0] == '/' ? name : "/dev/" + name;
}

} // namespace brovatools
