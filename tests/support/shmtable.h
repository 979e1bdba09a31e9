// A System V shared memory segment standing in for the daemon's online-user
// table, under a key of its own; removed when the object goes (also when a
// test fails half way).
#ifndef SITEKIT_TESTS_SHMTABLE_H
#define SITEKIT_TESTS_SHMTABLE_H

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "whorecord.h"

namespace sktest {

class ShmTable {
  public:
    explicit ShmTable(std::size_t bytes) {
        static int serial = 0;
        for (int tries = 0; tries < 64 && id_ < 0; ++tries) {
            key_ = static_cast<key_t>(0x5E000000u | ((static_cast<unsigned>(getpid()) & 0xFFFFu) << 8) |
                                      static_cast<unsigned>(serial++ & 0xFF));
            id_ = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
        }
        if (id_ < 0)
            throw std::runtime_error("cannot create a shared memory segment");
        base_ = shmat(id_, nullptr, 0);
        if (base_ == reinterpret_cast<void *>(-1)) {
            shmctl(id_, IPC_RMID, nullptr);
            throw std::runtime_error("cannot attach the segment");
        }
        std::memset(base_, 0, bytes);
    }
    ~ShmTable() {
        shmdt(base_);
        shmctl(id_, IPC_RMID, nullptr);
    }
    ShmTable(const ShmTable &) = delete;
    ShmTable &operator=(const ShmTable &) = delete;

    std::string key() const {
        char buf[16];
        (void)std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(key_));
        return buf;
    }
    who_record &slot(std::size_t i, std::size_t stride = sizeof(who_record)) {
        return *reinterpret_cast<who_record *>(static_cast<char *>(base_) + i * stride);
    }

  private:
    key_t key_ = 0;
    int id_ = -1;
    void *base_ = nullptr;
};

} // namespace sktest

#endif
