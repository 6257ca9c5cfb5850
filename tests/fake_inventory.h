// Port discovery under test: an inventory whose ports the test plugs and
// unplugs, a BrovaPorts made to scan it, and access to the candidate test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <QSerialPort>

#include "brovaports.h"
#include "brovaports_p.h"

struct BrovaPortsAccess {
    static bool isCandidate(const BrovaPorts_private& e, const PortRecord& p, bool filter) { return e.isCandidate(p, filter); }
    static bool probe(BrovaPorts_private& e, QSerialPort& port, int& kind) { return e.preprocess170(port, kind); }
};

class FakeInventory : public PortInventory {
public:
    static constexpr int ftdi = 0x0403, microchip = 0x04D8, silabs = 0x10C4;
    static constexpr int prolific = 0x067B;  // a bridge outside the filter

    QList<PortRecord> availablePorts() override
    {
        std::lock_guard<std::mutex> hold(lock);
        ++calls;
        called.notify_all();
        return ports;
    }
    void plug(const std::string& name, int vendor, int product = 0x6001)
    {
        std::lock_guard<std::mutex> hold(lock);
        ports.append(PortRecord{QString::fromStdString(name), vendor, product});
    }
    void unplug(const std::string& name)
    {
        std::lock_guard<std::mutex> hold(lock);
        for (int i = ports.size() - 1; i >= 0; --i)
            if (ports.at(i).portName == QString::fromStdString(name))
                ports.removeAt(i);
    }
    // Waits until the one watcher of this inventory has begun the cycle after
    // a cycle that began after this call (every cycle lists once, first).
    bool waitFullCycle()
    {
        std::unique_lock<std::mutex> hold(lock);
        const int target = calls + 2;
        return called.wait_for(hold, std::chrono::seconds(60), [&] { return calls >= target; });
    }

private:
    std::mutex lock;
    std::condition_variable called;
    QList<PortRecord> ports;
    int calls = 0;
};

struct Watched {
    std::shared_ptr<FakeInventory> inventory = std::make_shared<FakeInventory>();
    std::unique_ptr<BrovaPorts> ports;

    // before plugs the ports that the first scan sees.
    explicit Watched(int sensorKind = 0, const std::function<void(FakeInventory&)>& before = {})
    {
        if (before)
            before(*inventory);
        PortInventory::setOverride(inventory);
        ports = std::make_unique<BrovaPorts>(sensorKind, 1000000);
        PortInventory::setOverride(nullptr);
    }
    // Returns once a whole cycle that began after the call has ended (the
    // facade call waits for the watcher's mutex).
    bool settle()
    {
        const bool ran = inventory->waitFullCycle();
        ports->getSize(true);
        return ran;
    }
};
