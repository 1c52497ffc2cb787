// devmem.h - crafted stand-ins for physical memory and the host's
// configuration files: a sparse file with a configuration window at
// 0xe0000000, and a directory of host-bridge configuration files.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace ubatest {

constexpr uint64_t kWindow = 0xe0000000ull;

inline uint64_t FnOffset(int bus, int dev, int fn) { return ((uint64_t(bus) * 32 + dev) * 8 + fn) * 4096; }

// A function's configuration space under construction.
struct Cfg {
    std::vector<uint8_t> b = std::vector<uint8_t>(4096, 0);
    Cfg(uint16_t vid, uint16_t did, uint16_t cls = 0x0200, uint8_t hdr = 0)
    {
        W16(0, vid);
        W16(2, did);
        W16(10, cls);
        b[0x0e] = hdr;
    }
    Cfg &W8(unsigned o, uint8_t v) { b[o] = v; return *this; }
    Cfg &W16(unsigned o, uint16_t v) { memcpy(&b[o], &v, 2); return *this; }
    Cfg &W32(unsigned o, uint32_t v) { memcpy(&b[o], &v, 4); return *this; }
    // A bridge to the given secondary bus.
    static Cfg Bridge(int secondary) { Cfg c(0x8086, 0x2981, 0x0604, 1); c.b[0x19] = uint8_t(secondary); return c; }
    // Capability list start (sets the status bit).
    Cfg &Caps(uint8_t first) { W16(6, 0x10); return W8(0x34, first); }
    Cfg &Cap(uint8_t at, uint8_t id, uint8_t next) { W8(at, id); return W8(at + 1, next); }
};

class DevMem {
public:
    DevMem()
    {
        mem_ = dir_.file("mem");
        sysfs_ = dir_.file("sysfs");
        int fd = open(mem_.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, off_t(kWindow + 0x10000000ull)) != 0) abort();
        close(fd);
        mkdir(sysfs_.c_str(), 0700);
        setenv("UBA_DEVMEM", mem_.c_str(), 1);
        setenv("UBA_PCI_SYSFS", sysfs_.c_str(), 1);
    }
    // Writes a function's configuration space into the window.
    void Put(int bus, int dev, int fn, const Cfg &c) { PutAt(kWindow + FnOffset(bus, dev, fn), c.b.data(), c.b.size()); }
    void PutAt(uint64_t at, const void *p, size_t n)
    {
        int fd = open(mem_.c_str(), O_RDWR);
        if (fd < 0 || pwrite(fd, p, n, off_t(at)) != ssize_t(n)) abort();
        close(fd);
    }
    // The host's configuration file of one function (first len bytes).
    void Host(int bus, int dev, int fn, const Cfg &c, size_t len = 256)
    {
        char name[32];
        snprintf(name, sizeof name, "0000:%02x:%02x.%x", bus, dev, fn);
        std::string d = sysfs_ + "/" + name;
        mkdir(d.c_str(), 0700);
        int fd = open((d + "/config").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, c.b.data(), len) != ssize_t(len)) abort();
        close(fd);
    }
    void DropHost(int bus, int dev, int fn)
    {
        char name[32];
        snprintf(name, sizeof name, "0000:%02x:%02x.%x", bus, dev, fn);
        std::string d = sysfs_ + "/" + name;
        unlink((d + "/config").c_str());
        rmdir(d.c_str());
    }
    // The usual host bridge, in the host's files and in the window.
    void StandardHostBridge()
    {
        Cfg hb(0x8086, 0x2980, 0x0600);
        hb.W32(0x60, 0xe0000001);
        Host(0, 0, 0, hb);
        Put(0, 0, 0, hb);
    }
    const std::string &mem() const { return mem_; }

private:
    kpttest::TempDir dir_;
    std::string mem_, sysfs_;
};

}  // namespace ubatest
