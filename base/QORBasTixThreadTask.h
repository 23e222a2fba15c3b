#ifndef BASE_QORBASTIXTHREADTASK_H
#define BASE_QORBASTIXTHREADTASK_H

#include "base/base_Export.h"

// A unit of work that the host runs on a thread of its own and destroys afterwards.
class QORKEL_API QORBasTixThreadTask {
public:
    virtual ~QORBasTixThreadTask();
    virtual void Run(int argument) = 0;
};

#endif
