#include "ipm/ipm_DeliveryStatus.h"

#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_Warning.h"

#include <cstdlib>
#include <cstring>

namespace {

const ipm_DeliveryStatus::Clock::duration downLinePause = std::chrono::minutes(1);

bool quietFromEnvironment() {
    const char* value = std::getenv("IPM_QUIET");
    if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0)
        return false;
    if (std::strcmp(value, "1") == 0)
        return true;
    ipm_warn("IPM_QUIET " + ipm_shown(value) +
             " is neither 0 nor 1: the lines about delivery going down and up are shown");
    return false;
}

std::string causeOf(const csp_NetworkException& failure) {
    switch (failure.getCode()) {
    case csp_NetworkException::invalid_address:
        return "not a valid address";
    case csp_NetworkException::invalid_host:
        return "the name does not resolve";
    case csp_NetworkException::eof_encountered:
        return "the connection was closed";
    case csp_NetworkException::read_failed:
    case csp_NetworkException::write_failed:
        return "the connection failed";
    case csp_NetworkException::system_call_failure:
        return "cannot connect";
    case csp_NetworkException::system_call_timout:
        return "no answer in time";
    default:
        return std::string();
    }
}

std::string secondsText(ipm_DeliveryStatus::Clock::duration duration) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count()) +
           " s";
}

} // namespace

ipm_DeliveryStatus::ipm_DeliveryStatus(ipm_MessageTransmit& transmitter)
    : transmitter(transmitter), quiet(quietFromEnvironment()), everUp(false), down(false),
      toldDown(false), everToldDown(false) {}

// Called again at every failed attempt: an outage that a flapping transport's pause kept
// quiet is told once the pause is over.
void ipm_DeliveryStatus::Down(const std::string& cause, Clock::time_point now) {
    if (!down) {
        down = true;
        downSince = now;
    }
    if (toldDown || quiet || (everToldDown && now - lastToldDown < downLinePause))
        return;
    toldDown = true;
    everToldDown = true;
    lastToldDown = now;
    const std::string reach = everUp ? "no longer reach " : "cannot reach ";
    ipm_warn("reports " + reach + transmitter.GetDestination().c_str() +
             (cause.empty() ? std::string() : " (" + cause + ")") + ": " + whereReportsWait() +
             ", and delivery is retried");
}

// Opened now if no report has opened it yet, to name it.
std::string ipm_DeliveryStatus::whereReportsWait() {
    if (transmitter.OpenMessageFile())
        return "they are recorded in the message file " +
               std::string(transmitter.GetMessageFilePath().c_str());
    return "they wait for delivery (there is no message file to record them)";
}

void ipm_DeliveryStatus::Up(Clock::time_point now) {
    const bool again = everUp;
    everUp = true;
    if (!down)
        return;
    down = false;
    if (!toldDown)
        return;
    toldDown = false;
    ipm_warn("reports reach " + std::string(transmitter.GetDestination().c_str()) +
             (again ? " again" : " now") + ", after " + secondsText(now - downSince));
}

std::string ipm_DeliveryStatus::CauseOfCurrentFailure() {
    try {
        throw;
    } catch (const csp_NetworkException& failure) {
        return causeOf(failure);
    } catch (...) {
        return std::string();
    }
}
