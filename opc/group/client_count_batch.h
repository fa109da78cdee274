// The client-count changes of one item call, handed to the drivers once per tag when the call
// has gathered them: adding 10,000 items of one tag is one count update of +10,000, not
// 10,000 read-modify-writes of the tag's record.
#pragma once

#include <windows.h>
#include <memory>
#include <vector>

#include "driver.h"

class ClientCountBatch {
  public:
    // Room for `changes` changes, so that Add never fails. Throws std::bad_alloc.
    explicit ClientCountBatch(size_t changes);
    // Commits what is left.
    ~ClientCountBatch();
    ClientCountBatch(const ClientCountBatch&) = delete;
    ClientCountBatch& operator=(const ClientCountBatch&) = delete;

    // False when the room reserved is used up (the change is then not recorded).
    bool Add(std::shared_ptr<CDriver> driver, DWORD tag, LONG delta) noexcept;
    // One ChangeClientCount per tag with the sum of its changes.
    void Commit() noexcept;

  private:
    struct Change {
        std::shared_ptr<CDriver> driver;
        DWORD tag;
        LONG delta;
    };
    std::vector<Change> changes_;
};
