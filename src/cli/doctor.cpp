#include "cli/doctor.h"

#include "platform/characters.h"

#include <QJsonArray>

namespace halvex {

namespace {

QString statusName(CheckOutcome::Status status)
{
    switch (status) {
    case CheckOutcome::Status::passed:
        return QStringLiteral("passed");
    case CheckOutcome::Status::failed:
        return QStringLiteral("failed");
    case CheckOutcome::Status::skipped:
        break;
    }
    return QStringLiteral("skipped");
}

QString statusMark(CheckOutcome::Status status)
{
    switch (status) {
    case CheckOutcome::Status::passed:
        return QStringLiteral("\u2713"); // ✓
    case CheckOutcome::Status::failed:
        return QStringLiteral("\u2717"); // ✗
    case CheckOutcome::Status::skipped:
        break;
    }
    return QStringLiteral("-");
}

} // namespace

bool DoctorReport::canAnswerChats() const
{
    for (const Line &line : lines) {
        if (line.check.neededForChats && line.outcome.status != CheckOutcome::Status::passed)
            return false;
    }
    return true;
}

QString DoctorReport::text() const
{
    QString text;
    for (const Line &line : lines) {
        text += statusMark(line.outcome.status) + QLatin1Char(' ') + line.check.title;
        if (!line.outcome.detail.isEmpty())
            // Details quote the gateway, the relay and files.
            text += QStringLiteral(": ") + quotedForLog(line.outcome.detail, 1000);
        text += QLatin1Char('\n');
        if (line.outcome.status == CheckOutcome::Status::failed && !line.outcome.fix.isEmpty())
            text += QStringLiteral("    fix: ") + quotedForLog(line.outcome.fix, 1000) + QLatin1Char('\n');
    }
    text += canAnswerChats() ? QStringLiteral("\nThe bridge can answer chats.\n")
                             : QStringLiteral("\nThe bridge cannot answer chats yet.\n");
    return text;
}

QJsonObject DoctorReport::json() const
{
    QJsonArray checks;
    for (const Line &line : lines) {
        QJsonObject entry{{QStringLiteral("id"), line.check.id},
                          {QStringLiteral("title"), line.check.title},
                          {QStringLiteral("status"), statusName(line.outcome.status)},
                          {QStringLiteral("detail"), line.outcome.detail},
                          {QStringLiteral("neededForChats"), line.check.neededForChats}};
        if (!line.outcome.fix.isEmpty())
            entry.insert(QStringLiteral("fix"), line.outcome.fix);
        checks.append(entry);
    }
    return {{QStringLiteral("canAnswerChats"), canAnswerChats()}, {QStringLiteral("checks"), checks}};
}

QCoro::Task<DoctorReport> runDoctor(DoctorEnvironment environment, QList<DoctorCheck> checks)
{
    DoctorFindings findings;
    DoctorReport report;
    for (const DoctorCheck &check : checks) {
        CheckOutcome outcome = co_await check.run(environment, findings);
        report.lines.append({check, std::move(outcome)});
    }
    co_return report;
}

} // namespace halvex
