#include "brovaports.h"

#include <cstring>

BPort::BPort()
{
    portName[0] = '\0';
    deviceName[0] = '\0';
    deviceId[0] = '\0';
}

void BPort::setText(char (&field)[textSize], const char* text)
{
    size_t n = 0;
    if (text) {
        while (n < textSize - 1 && text[n] != '\0')
            ++n;
        std::memcpy(field, text, n);
    }
    field[n] = '\0';
}
