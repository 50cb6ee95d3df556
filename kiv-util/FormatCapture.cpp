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

QString Hex(uint64_t value, int width = 0)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).rightJustified(width, QLatin1Char('0'));
}

QString Esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString Plural(int count, const char *word)
{
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(word) +
           (count == 1 ? QString() : QStringLiteral("s"));
}

// "Thread 12 worker", escaped.
QString ThreadTitle(const ThreadStack &thread, const QString &word = QStringLiteral("Thread"))
{
    QString title = word + QLatin1Char(' ') + QString::number(thread.tid);
    if (!thread.name.isEmpty())
        title += QLatin1Char(' ') + Esc(thread.name);
    return title;
}

// "waits for mutex 0x... held by thread 12 worker"
QString LockWait(const ThreadStack &thread, const QHash<long long, const ThreadStack *> &byTid,
                 int digits)
{
    QString text = QStringLiteral("waits for ") + LockKindText(thread.lockKind);
    if (thread.lockAddress)
        text += QLatin1Char(' ') + Hex(thread.lockAddress, digits);
    if (const ThreadStack *owner = thread.lockOwner ? byTid.value(thread.lockOwner) : nullptr)
        text += QStringLiteral(" held by ") + ThreadTitle(*owner, QStringLiteral("thread"));
    else if (thread.recordedOwner)
        text += QStringLiteral(" (owner recorded in the mutex: thread %1, which is no live thread "
                               "of this process)")
                    .arg(thread.recordedOwner);
    if (thread.lockRefused)
        text += QStringLiteral(" that the system refused it (a deadlock through "
                               "priority-inheritance mutexes, or an owner that died); it waits "
                               "for ever");
    return text;
}

// The heading of a group: "Thread 12 worker", or "3 threads: worker 12, 13; main 11".
QString GroupTitle(const ThreadGroup &members)
{
    if (members.size() == 1)
        return QStringLiteral("<b>") + ThreadTitle(*members.first()) + QStringLiteral("</b>");
    QStringList names; // in the order they first appear
    QHash<QString, QStringList> ids;
    for (const ThreadStack *thread : members) {
        if (!ids.contains(thread->name))
            names << thread->name;
        ids[thread->name] << QString::number(thread->tid);
    }
    QStringList parts;
    for (const QString &name : names)
        parts << (name.isEmpty() ? QString() : Esc(name) + QLatin1Char(' ')) +
                     ids.value(name).join(QStringLiteral(", "));
    return QStringLiteral("<b>") + Plural(members.size(), "thread") + QStringLiteral(":</b> ") +
           parts.join(QStringLiteral("; "));
}

QString StateLine(const ThreadStack &thread)
{
    if (thread.state == ThreadState::Unknown)
        return QString();
    QString text = QStringLiteral(" &mdash; ") + StateText(thread.state);
    if (!thread.waitChannel.isEmpty())
        text += QStringLiteral(" in ") + Esc(thread.waitChannel);
    return text;
}

QString Frames(const ThreadStack &thread, int digits)
{
    QString text;
    for (int i = 0; i < thread.frames.size(); ++i) {
        const StackFrame &frame = thread.frames.at(i);
        QString line = QStringLiteral("#%1 ").arg(i, -3) + Hex(frame.pc, digits) + QLatin1Char(' ');
        if (frame.inlined) // the same pc as the frame it was inlined into
            line +=
                Esc(frame.function) + QStringLiteral(" (inlined)") +
                (frame.module.isEmpty() ? QString() : QStringLiteral(" in ") + Esc(frame.module));
        else if (!frame.function.isEmpty())
            line +=
                Esc(frame.function) + QStringLiteral("+") + Hex(frame.offset) +
                (frame.module.isEmpty() ? QString() : QStringLiteral(" in ") + Esc(frame.module));
        else if (!frame.module.isEmpty()) // still to be named from the module's file later
            line += Esc(frame.module) + QStringLiteral("+") + Hex(frame.moduleOffset);
        else
            line += QStringLiteral("??");
        if (!frame.file.isEmpty())
            line += QStringLiteral(" at ") + Esc(frame.file) + QLatin1Char(':') +
                    QString::number(frame.line);
        text += line + QLatin1Char('\n');
    }
    const QString walkEnd = WalkEndText(thread);
    if (thread.leftOut != LeftOut::No) {
        text +=
            QStringLiteral("(not captured: ") + Esc(LeftOutText(thread)) + QStringLiteral(")\n");
        for (const QString &line : thread.kernelStack)
            text += QStringLiteral("    kernel: ") + Esc(line) + QLatin1Char('\n');
    } else if (thread.frames.isEmpty() && walkEnd.isEmpty()) {
        text += QStringLiteral("(no frames)\n");
    }
    if (!walkEnd.isEmpty())
        text += QStringLiteral("(stack truncated: ") + Esc(walkEnd) + QStringLiteral(")\n");
    return text;
}

} // namespace

QString FormatCapture(const StackCapture &capture)
{
    QString html = QStringLiteral("<html><body>");
    if (!capture.ok) {
        html += QStringLiteral("<p><b>No stack traces for process %1.</b></p><p>%2</p>")
                    .arg(QString::number(capture.pid), Esc(FailureText(capture)));
        return html + QStringLiteral("</body></html>");
    }
    const int digits = capture.addressDigits;
    const QHash<long long, const ThreadStack *> byTid = ThreadsById(capture.threads);
    const QVector<ThreadGroup> groups = GroupThreads(capture.threads);

    // One-pass arg: names may themselves hold "%1".
    html +=
        QStringLiteral("<p><b>Process %1</b> %2 &mdash; %3, %4, %5 waiting on locks, stopped "
                       "for %6 ms</p>")
            .arg(QString::number(capture.pid),
                 Esc(capture.processName) + (digits == 8 ? QStringLiteral(" (32-bit)") : QString()),
                 Plural(capture.threads.size(), "thread"), Plural(groups.size(), "distinct stack"),
                 QString::number(CountLockWaits(capture.threads)),
                 QString::number(capture.stoppedMs, 'f', 2));
    for (const ThreadGroup &cycle : FindDeadlocks(capture.threads)) {
        html += (cycle.size() == 1
                     ? QStringLiteral("<p><b>Deadlock:</b> a thread waits for a lock it holds "
                                      "itself</p>")
                     : QStringLiteral("<p><b>Deadlock:</b> %1 threads wait for each other</p>")
                           .arg(cycle.size())) +
                kPre;
        for (const ThreadStack *thread : cycle)
            html += ThreadTitle(*thread) + QLatin1Char(' ') + LockWait(*thread, byTid, digits) +
                    QLatin1Char('\n');
        html += QStringLiteral("</pre>");
    }
    for (const CaptureNote &note : capture.notes)
        html += QStringLiteral("<p>Note: ") + Esc(NoteText(note)) + QStringLiteral("</p>");
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
