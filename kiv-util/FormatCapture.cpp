#include "StackCapture.h"

#include <QHash>
#include <QSet>

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
    QString text = QStringLiteral("waits for ") + Esc(thread.lockKind);
    if (thread.lockAddress)
        text += QLatin1Char(' ') + Hex(thread.lockAddress, digits);
    if (const ThreadStack *owner = byTid.value(thread.lockOwner))
        text += QStringLiteral(" held by ") + ThreadTitle(*owner, QStringLiteral("thread"));
    return text;
}

// Every cycle of "waits for a lock held by": each thread waits for at most one lock, so
// following the owners from any thread either ends or runs into a cycle.
QVector<QVector<const ThreadStack *>> Deadlocks(const QVector<ThreadStack> &threads,
                                                const QHash<long long, const ThreadStack *> &byTid)
{
    QVector<QVector<const ThreadStack *>> cycles;
    QHash<long long, int> walk; // thread id -> the walk that first reached it
    for (int start = 0; start < threads.size(); ++start) {
        QVector<const ThreadStack *> path;
        const ThreadStack *at = &threads[start];
        while (at && !walk.contains(at->tid)) {
            walk.insert(at->tid, start);
            path.push_back(at);
            at = byTid.value(at->lockOwner);
        }
        // A cycle only when this walk ran into itself.
        if (!at || walk.value(at->tid) != start)
            continue;
        QVector<const ThreadStack *> cycle;
        for (int i = path.indexOf(at); i < path.size(); ++i)
            cycle.push_back(path[i]);
        cycles.push_back(cycle);
    }
    return cycles;
}

// What makes two threads show as one: frames, how the walk ended, state and lock.
QString GroupKey(const ThreadStack &thread)
{
    QString key;
    for (const StackFrame &frame : thread.frames)
        key += QString::number(frame.pc, 16) + QLatin1Char(' ');
    const QChar sep(0x1f);
    return key + sep + thread.truncated + sep + thread.notCaptured + sep +
           thread.kernelStack.join(sep) + sep + thread.state + sep + thread.waitChannel + sep +
           thread.lockKind + sep + QString::number(thread.lockAddress) + sep +
           QString::number(thread.lockOwner);
}

// The heading of a group: "Thread 12 worker", or "3 threads: worker 12, 13; main 11".
QString GroupTitle(const QVector<const ThreadStack *> &members)
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

QString StateText(const ThreadStack &thread)
{
    if (thread.state.isEmpty())
        return QString();
    QString text = QStringLiteral(" &mdash; ") + Esc(thread.state);
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
        if (!frame.function.isEmpty())
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
    if (!thread.notCaptured.isEmpty()) {
        text += QStringLiteral("(not captured: ") + Esc(thread.notCaptured) + QStringLiteral(")\n");
        for (const QString &line : thread.kernelStack)
            text += QStringLiteral("    kernel: ") + Esc(line) + QLatin1Char('\n');
    } else if (thread.frames.isEmpty() && thread.truncated.isEmpty()) {
        text += QStringLiteral("(no frames)\n");
    }
    if (!thread.truncated.isEmpty())
        text +=
            QStringLiteral("(stack truncated: ") + Esc(thread.truncated) + QStringLiteral(")\n");
    return text;
}

} // namespace

QString FormatCapture(const StackCapture &capture)
{
    QString html = QStringLiteral("<html><body>");
    if (!capture.ok) {
        html += QStringLiteral("<p><b>No stack traces for process %1.</b></p><p>%2</p>")
                    .arg(QString::number(capture.pid), Esc(capture.error));
        return html + QStringLiteral("</body></html>");
    }
    const int digits = capture.addressDigits;
    QHash<long long, const ThreadStack *> byTid;
    for (const ThreadStack &thread : capture.threads)
        byTid.insert(thread.tid, &thread);

    QVector<QVector<const ThreadStack *>> groups;
    QHash<QString, int> groupOf;
    int waiting = 0;
    for (const ThreadStack &thread : capture.threads) {
        waiting += !thread.lockKind.isEmpty();
        const QString key = GroupKey(thread);
        auto it = groupOf.find(key);
        if (it == groupOf.end()) {
            it = groupOf.insert(key, groups.size());
            groups.push_back({});
        }
        groups[*it].push_back(&thread);
    }

    // One-pass arg: names may themselves hold "%1".
    html +=
        QStringLiteral("<p><b>Process %1</b> %2 &mdash; %3, %4, %5 waiting on locks, stopped "
                       "for %6 ms</p>")
            .arg(QString::number(capture.pid),
                 Esc(capture.processName) + (digits == 8 ? QStringLiteral(" (32-bit)") : QString()),
                 Plural(capture.threads.size(), "thread"), Plural(groups.size(), "distinct stack"),
                 QString::number(waiting), QString::number(capture.stoppedMs, 'f', 2));
    for (const QVector<const ThreadStack *> &cycle : Deadlocks(capture.threads, byTid)) {
        html += QStringLiteral("<p><b>Deadlock:</b> %1 wait for each other</p>")
                    .arg(Plural(cycle.size(), "thread")) +
                kPre;
        for (const ThreadStack *thread : cycle)
            html += ThreadTitle(*thread) + QLatin1Char(' ') + LockWait(*thread, byTid, digits) +
                    QLatin1Char('\n');
        html += QStringLiteral("</pre>");
    }
    for (const QString &note : capture.notes)
        html += QStringLiteral("<p>Note: ") + Esc(note) + QStringLiteral("</p>");
    for (const QVector<const ThreadStack *> &members : groups) {
        const ThreadStack &first = *members.first();
        html += QStringLiteral("<p>") + GroupTitle(members) + StateText(first) +
                QStringLiteral("</p>") + kPre;
        if (!first.lockKind.isEmpty())
            html += LockWait(first, byTid, digits) + QLatin1Char('\n');
        html += Frames(first, digits) + QStringLiteral("</pre>");
    }
    return html + QStringLiteral("</body></html>");
}
