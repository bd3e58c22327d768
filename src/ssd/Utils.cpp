#include "Utils.h"

namespace {

unsigned char byteSum(const unsigned char* p, unsigned long l)
{
    unsigned char sum = 0;
    for (unsigned long i = 0; i < l; ++i)
        sum = static_cast<unsigned char>(sum + p[i]);
    return sum;
}

} // namespace

void Utils::trim(std::string& str)
{
    size_t first = str.find_first_not_of(' ');
    if (first == std::string::npos) {
        str.clear();
        return;
    }
    str.erase(0, first);
    str.erase(str.find_last_not_of(' ') + 1);
}

void Utils::swapAltBytesInCharArray(std::string& out, unsigned char* in, int len)
{
    if (len < 0)
        return;
    for (int i = 0; i + 1 < len; i += 2) {
        unsigned char first = in[i];
        in[i] = in[i + 1];
        in[i + 1] = first;
    }
    out.assign(reinterpret_cast<const char*>(in), static_cast<size_t>(len));
}

bool Utils::checksum(unsigned char* p, unsigned long l)
{
    return byteSum(p, l) == 0;
}

unsigned char Utils::calculateChecksum(unsigned char* p, unsigned long l)
{
    return static_cast<unsigned char>(0x100 - byteSum(p, l));
}

unsigned char Utils::toBcdByte(unsigned char hex)
{
    if (hex > 99)
        return 0x63;
    return static_cast<unsigned char>((hex / 10) << 4 | (hex % 10));
}
