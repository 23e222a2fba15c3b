#ifndef IPM_IPM_DELIVERYTHREAD_H
#define IPM_IPM_DELIVERYTHREAD_H

#include "ipm/ipm_MessageTask.h"
#include "platform/platform_Thread.h"

// The library's own thread for the message task, which ipm_startReporting starts and
// ipm_stopReporting joins. The task is made, and registered, before the thread starts, so
// that shut-down waits for it even when its Run has not begun yet.
class ipm_DeliveryThread {
public:
    // Null when no thread could be started.
    static ipm_DeliveryThread* Start();
    ipm_DeliveryThread(const ipm_DeliveryThread&) = delete;
    ipm_DeliveryThread& operator=(const ipm_DeliveryThread&) = delete;
    // Joins the thread; end the task first (StopDelivery), or this waits for it.
    ~ipm_DeliveryThread();

    // True on a delivery thread, where the kill handler runs.
    static bool IsCurrent();

private:
    ipm_DeliveryThread();
    static void run(void* self);

    ipm_MessageTask task;
    platform_thread::Thread* thread;
};

#endif
