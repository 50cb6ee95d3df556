// The capture as HTML: only layout and escaping; every word comes from Wording.cpp.
#include "Diagnosis.h"
#include "StackCapture.h"
#include "Wording.h"

#include <QHash>

namespace {

// Stacks in a fixed-width font that every system has one of: Windows maps a bare <pre> to a
// font that Wine and some Windows installs lack, and the fallback is a serif with tall lines.
const QString kPre = QStringLiteral(
    "<pre style=\"white-space: pre-wrap; font-family: Consolas, 'Lucida Console', 'DejaVu Sans "
    "Mono', 'Liberation Mono', 'Courier New', monospace\">");

QString Esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString Bold(const QString &text)
{
    return QStringLiteral("<b>") + Esc(text) + QStringLiteral("</b>");
}

QString LockWait(const ThreadStack &thread, const QHash<long long, const ThreadStack *> &byTid,
                 int digits)
{
    return Esc(
        LockWaitText(thread, thread.lockOwner ? byTid.value(thread.lockOwner) : nullptr, digits));
}

// The heading of a group: "Thread 12 worker", or "3 threads: worker 12, 13; main 11".
QString GroupTitle(const ThreadGroup &members)
{
    if (members.size() == 1)
        return Bold(ThreadTitle(*members.first()));
    QStringList names; // in the order they first appear
    QHash<QString, QStringList> ids;
    for (const ThreadStack *thread : members) {
        if (!ids.contains(thread->name))
            names << thread->name;
        ids[thread->name] << QString::number(thread->tid);
    }
    QStringList parts;
    for (const QString &name : names)
        parts << (name.isEmpty() ? QString() : name + QLatin1Char(' ')) +
                     ids.value(name).join(QStringLiteral(", "));
    return Bold(ThreadCount(members.size()) + QLatin1Char(':')) + QLatin1Char(' ') +
           Esc(parts.join(QStringLiteral("; ")));
}

QString StateLine(const ThreadStack &thread)
{
    const QString state = StateLineText(thread);
    return state.isEmpty() ? QString() : QStringLiteral(" &mdash; ") + Esc(state);
}

QString Frames(const ThreadStack &thread, int digits)
{
    QString text;
    for (int i = 0; i < thread.frames.size(); ++i) {
        if (i == thread.omittedAt && thread.omittedFrames > 0)
            text += Esc(OmittedFramesText(thread.omittedFrames)) + QLatin1Char('\n');
        // Numbered as in the whole stack.
        const int number =
            i + (thread.omittedAt >= 0 && i >= thread.omittedAt ? thread.omittedFrames : 0);
        text += QStringLiteral("#%1 ").arg(number, -3) +
                Esc(FrameText(thread.frames.at(i), digits)) + QLatin1Char('\n');
    }
    const QString truncated = TruncatedText(thread);
    if (thread.leftOut != LeftOut::No) {
        text += Esc(NotCapturedText(thread)) + QLatin1Char('\n');
        for (const QString &line : thread.kernelStack)
            text += QStringLiteral("    ") + Esc(KernelFrameText(line)) + QLatin1Char('\n');
    } else if (thread.frames.isEmpty() && truncated.isEmpty()) {
        text += Esc(NoFramesText()) + QLatin1Char('\n');
    }
    if (!truncated.isEmpty())
        text += Esc(truncated) + QLatin1Char('\n');
    return text;
}

} // namespace

QString FormatCapture(const StackCapture &capture)
{
    QString html = QStringLiteral("<html><body>");
    if (!capture.ok)
        return html + QStringLiteral("<p>") + Bold(NoTracesTitle(capture.pid)) +
               QStringLiteral("</p><p>") + Esc(FailureText(capture)) +
               QStringLiteral("</p></body></html>");
    const int digits = capture.addressDigits;
    const QHash<long long, const ThreadStack *> byTid = ThreadsById(capture.threads);
    const QVector<ThreadGroup> groups = GroupThreads(capture.threads);

    html += QStringLiteral("<p>") + Bold(ProcessTitle(capture.pid)) + QLatin1Char(' ') +
            Esc(SummaryText(capture, groups.size(), CountLockWaits(capture.threads))) +
            QStringLiteral("</p>");
    for (const ThreadGroup &cycle : FindDeadlocks(capture.threads)) {
        html += QStringLiteral("<p>") + Bold(DeadlockLabel()) + QLatin1Char(' ') +
                Esc(DeadlockText(cycle.size())) + QStringLiteral("</p>") + kPre;
        for (const ThreadStack *thread : cycle)
            html += Esc(ThreadTitle(*thread)) + QLatin1Char(' ') +
                    LockWait(*thread, byTid, digits) + QLatin1Char('\n');
        html += QStringLiteral("</pre>");
    }
    for (const CaptureNote &note : capture.notes)
        html += QStringLiteral("<p>") + Esc(NoteLine(note)) + QStringLiteral("</p>");
    for (const ThreadGroup &members : groups) {
        const ThreadStack &first = *members.first();
        html += QStringLiteral("<p>") + GroupTitle(members) + StateLine(first) +
                QStringLiteral("</p>") + kPre;
        if (first.lockKind != LockKind::None)
            html += LockWait(first, byTid, digits) + QLatin1Char('\n');
        html += Frames(first, digits) + QStringLiteral("</pre>");
    }
    return html + QStringLiteral("</body></html>");
}
