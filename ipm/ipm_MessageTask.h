#ifndef IPM_IPM_MESSAGETASK_H
#define IPM_IPM_MESSAGETASK_H

#include "base/QORBasTixThreadTask.h"
#include "base/base_Export.h"

// Delivers the buffered reports and polls the transport for the monitor's
// commands. The host runs Run on a thread of its own; it returns after a stop
// request once the buffer is empty, or at once when the transport fails (which
// switches transmission off). Nothing escapes Run.
class QORKEL_API ipm_MessageTask : public QORBasTixThreadTask {
public:
    ipm_MessageTask();
    ~ipm_MessageTask() override;

    void Run(int unused) override;
};

#endif
