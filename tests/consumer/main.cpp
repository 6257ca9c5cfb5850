// Uses the installed headers and library: exits 0 when what it sees matches.
#include <allocators.h>
#include <brovapackage.h>
#include <brovaports.h>
#include <sensorconfig.h>

#include <cstdio>

int main()
{
    SensorConfig c;
    c.setSpeed(1000);
    BrovaPackage* arr = nullptr;
    if (!brova::alloc::reallocPackArray(arr, 2) || size != 2)
        return 1;
    arr[1].s1 = 4;
    arr[1].setInvariant();
    const int ok = c.to_uin8_t() == 0xA0 && arr[1].x == 4;
    delete[] arr;
    BPort p;
    BPort::setText(p.portName, "/dev/ttyACM0");
    std::printf("consumer %s %s\n", ok ? "ok" : "bad", p.portName);
    return ok ? 0 : 1;
}
