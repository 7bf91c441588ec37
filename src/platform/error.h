#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace halvex {

// The error enumeration shared by the relay account client, the bridge core
// and the gateway link. description() is the sentence users see.
class BridgeError
{
public:
    enum class Kind { networkError, apiError, openClawWebSocketNotConnected };

    static BridgeError networkError(QString message) { return {Kind::networkError, std::move(message)}; }
    static BridgeError apiError(QString message) { return {Kind::apiError, std::move(message)}; }
    // A failure the server reported with this HTTP status.
    static BridgeError apiError(QString message, int httpStatus)
    {
        BridgeError error{Kind::apiError, std::move(message)};
        error.m_httpStatus = httpStatus;
        return error;
    }
    static BridgeError openClawWebSocketNotConnected() { return {Kind::openClawWebSocketNotConnected, {}}; }

    Kind kind() const { return m_kind; }
    const QString &message() const { return m_message; }
    // The HTTP status the server answered with, when the failure is its answer.
    std::optional<int> httpStatus() const { return m_httpStatus; }
    QString description() const;

    bool operator==(const BridgeError &) const = default;

private:
    BridgeError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind;
    QString m_message;
    std::optional<int> m_httpStatus;
};

// Any failure an operation reports: a BridgeError, or an error of the
// platform or a library passed on in its own words (a transport error, a
// JSON decoding error, a secure-store status with its numeric code).
class Error
{
public:
    Error(BridgeError error) : m_bridgeError(std::move(error)) {} // NOLINT: implicit by design
    // `code` is the platform's or library's status code, for log lines; 0
    // when it gave none.
    static Error plain(QString description, int code = 0)
    {
        Error e{BridgeError::apiError({})};
        e.m_bridgeError.reset();
        e.m_description = std::move(description);
        e.m_code = code;
        return e;
    }

    const std::optional<BridgeError> &bridgeError() const { return m_bridgeError; }
    QString description() const { return m_bridgeError ? m_bridgeError->description() : m_description; }
    int code() const { return m_code; }
    // The HTTP status of a failure that is a server's answer; nullopt for
    // every other failure.
    std::optional<int> httpStatus() const { return m_bridgeError ? m_bridgeError->httpStatus() : std::nullopt; }

    bool operator==(const Error &) const = default;

private:
    std::optional<BridgeError> m_bridgeError;
    QString m_description;
    int m_code = 0;
};

// A value or the Error that prevented it. Dropping one unread is a mistake
// the compiler reports: a failure must be handled or deliberately ignored.
template <typename T>
class [[nodiscard]] Result
{
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}                  // NOLINT
    Result(Error error) : m_data(std::in_place_index<1>, std::move(error)) {}              // NOLINT
    Result(BridgeError error) : m_data(std::in_place_index<1>, Error(std::move(error))) {} // NOLINT

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_data); }
    T &value() & { return std::get<0>(m_data); }
    T &&value() && { return std::get<0>(std::move(m_data)); }
    const T &operator*() const & { return value(); }
    const T *operator->() const { return &value(); }

    const Error &error() const { return std::get<1>(m_data); }

    // The value, or `fallback` when there is none (for callers to whom a
    // failure means the same as the fallback).
    T valueOr(T fallback) const & { return ok() ? value() : std::move(fallback); }
    T valueOr(T fallback) && { return ok() ? std::get<0>(std::move(m_data)) : std::move(fallback); }

private:
    std::variant<T, Error> m_data;
};

// Success without a value.
struct Done {
    bool operator==(const Done &) const = default;
};

} // namespace halvex
