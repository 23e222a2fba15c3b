#ifndef BASE_OMI_ALERTLISTENER_H
#define BASE_OMI_ALERTLISTENER_H

#include "base/base_Export.h"
#include "base/omi_Singleton.h"

#include <atomic>

// Holds the job's handle, which every report carries. It is the process id
// unless the host sets one of its own.
class QORKEL_API omi_AlertListener {
public:
    omi_AlertListener();

    int GetHandle() const { return handle.load(); }
    void SetHandle(int newHandle) { handle.store(newHandle); }

private:
    std::atomic<int> handle;
};

// The instance lives inside the library, so host and library share it.
template <> QORKEL_API omi_AlertListener& omi_Singleton<omi_AlertListener>::Instance();

#endif
