#pragma once

#include "core/Reports.h"

#include <QString>

// The one failure type. Lower layers throw it (by value) and never log; the operation that owns the
// message catches it (by const reference) and reports it once through LogError.
struct Failure {
    int Code = 0;
    QString Description;
};

// The codes of the failures the program raises itself; failures of the system keep the system's codes.
namespace FailureCode {
inline constexpr int Overflow = 6;
inline constexpr int OutOfMemory = 7;
inline constexpr int SubscriptOutOfRange = 9;
inline constexpr int InvalidPropertyValue = 380;
inline constexpr int NotASocket = 10038;
inline constexpr int AddressNotAvailable = 10049;
inline constexpr int ConnectionReset = 10054;
inline constexpr int NotConnected = 10057;
inline constexpr int TimedOut = 10060;
} // namespace FailureCode

// The program's one failure reporter. The error log implements it; tests record the calls.
// A report made with no failure pending passes the default Failure: code 0 and no description.
class ErrorReporter {
public:
    virtual ~ErrorReporter() = default;
    virtual void LogError(const QString& message, const QString& location, const Failure& failure = {}) = 0;

    // A report from the table of report texts.
    void Report(const ReportText& text, const Failure& failure = {}) { LogError(text.Message, text.Location, failure); }
};
