#include <atomic>

#include "state/host_table.h"

namespace {
HostCallbacks hostTable;
} // namespace

char *winampFolder = nullptr;

HostCallbacks &GetHostTable() {
    return hostTable;
}

int LoadAbortFlag() {
    return std::atomic_ref<int>(hostTable.abortFlag).load();
}

void StoreAbortFlag(int value) {
    std::atomic_ref<int>(hostTable.abortFlag).store(value);
}

void StoreLastResult(int value) {
    std::atomic_ref<int>(hostTable.lastResult).store(value);
}
