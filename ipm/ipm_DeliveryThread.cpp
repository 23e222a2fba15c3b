#include "ipm/ipm_DeliveryThread.h"

#include <memory>

namespace {

thread_local bool onDeliveryThread = false;

} // namespace

ipm_DeliveryThread::ipm_DeliveryThread() : thread(nullptr) {}

ipm_DeliveryThread* ipm_DeliveryThread::Start() {
    std::unique_ptr<ipm_DeliveryThread> delivery(new ipm_DeliveryThread);
    delivery->thread = platform_thread::start(&ipm_DeliveryThread::run, delivery.get());
    if (delivery->thread == nullptr)
        return nullptr;
    return delivery.release();
}

ipm_DeliveryThread::~ipm_DeliveryThread() {
    platform_thread::join(thread);
}

bool ipm_DeliveryThread::IsCurrent() {
    return onDeliveryThread;
}

void ipm_DeliveryThread::run(void* self) {
    onDeliveryThread = true;
    static_cast<ipm_DeliveryThread*>(self)->task.Run(0);
}
