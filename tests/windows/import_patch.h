// Test harness for the Windows tests: faults that no device can produce are injected by
// swapping one slot of the test program's import table (the __imp_ pointer through which it and
// the libraries linked into it call a KERNEL32 function) for a wrapper; everything else still
// reaches the real system.
#pragma once

#include <windows.h>

// Replaces one import-table slot for the life of the object.
class ImportPatch {
  public:
    ImportPatch(void** slot, void* replacement) : slot_(slot), saved_(*slot) { Write(replacement); }
    ~ImportPatch() { Write(saved_); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

  private:
    void Write(void* value) {
        DWORD old_protection = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old_protection);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), old_protection, &old_protection);
    }
    void** slot_;
    void* saved_;
};
