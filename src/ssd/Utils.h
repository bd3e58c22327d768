#ifndef VEXLOR_UTILS_H
#define VEXLOR_UTILS_H

#include <string>

// String and byte helpers; never instantiated.
class Utils {
public:
    Utils() = delete;

    // Removes leading and trailing blanks (0x20 only) in place.
    static void trim(std::string& str);
    // Swaps the bytes of every 16-bit word of `in` in place and assigns the
    // `len` bytes to `out`; a negative `len` does nothing. An odd last byte
    // has no partner and stays where it is.
    static void swapAltBytesInCharArray(std::string& out, unsigned char* in, int len);
    // True when the 8-bit sum of the `l` bytes is 0.
    static bool checksum(unsigned char* p, unsigned long l);
    // The byte that makes the 8-bit sum of the `l` bytes 0.
    static unsigned char calculateChecksum(unsigned char* p, unsigned long l);
    // Packed BCD of 0 to 99; larger numbers give 0x63.
    static unsigned char toBcdByte(unsigned char hex);
};

#endif
