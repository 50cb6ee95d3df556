#include "StackCapture.h"

namespace {

QString Hex(uint64_t value, int width = 0)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).rightJustified(width, QLatin1Char('0'));
}

QString Esc(const QString &text)
{
    return text.toHtmlEscaped();
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

    // One-pass arg: names may themselves hold "%1".
    html += QStringLiteral("<p><b>Process %1</b> %2 &mdash; %3 thread%4, stopped for %5 ms</p>")
                .arg(QString::number(capture.pid), Esc(capture.processName),
                     QString::number(capture.threads.size()),
                     capture.threads.size() == 1 ? QString() : QStringLiteral("s"),
                     QString::number(capture.stoppedMs, 'f', 2));
    for (const QString &note : capture.notes)
        html += QStringLiteral("<p>Note: ") + Esc(note) + QStringLiteral("</p>");
    for (const ThreadStack &thread : capture.threads) {
        html += QStringLiteral("<p><b>Thread %1</b> %2</p><pre style=\"white-space: pre-wrap\">")
                    .arg(QString::number(thread.tid), Esc(thread.name));
        for (int i = 0; i < thread.frames.size(); ++i) {
            const StackFrame &frame = thread.frames.at(i);
            QString line = QStringLiteral("#%1 ").arg(i, -3) + Hex(frame.pc, 16) + QLatin1Char(' ');
            if (frame.function.isEmpty())
                line += QStringLiteral("??");
            else
                line += Esc(frame.function) + QStringLiteral("+") + Hex(frame.offset);
            if (!frame.module.isEmpty())
                line += QStringLiteral(" in ") + Esc(frame.module);
            if (!frame.file.isEmpty())
                line += QStringLiteral(" at ") + Esc(frame.file) + QLatin1Char(':') +
                        QString::number(frame.line);
            html += line + QLatin1Char('\n');
        }
        if (!thread.notCaptured.isEmpty()) {
            html +=
                QStringLiteral("(not captured: ") + Esc(thread.notCaptured) + QStringLiteral(")\n");
            for (const QString &line : thread.kernelStack)
                html += QStringLiteral("    kernel: ") + Esc(line) + QLatin1Char('\n');
        } else if (thread.frames.isEmpty() && thread.truncated.isEmpty()) {
            html += QStringLiteral("(no frames)\n");
        }
        if (!thread.truncated.isEmpty())
            html += QStringLiteral("(stack truncated: ") + Esc(thread.truncated) +
                    QStringLiteral(")\n");
        html += QStringLiteral("</pre>");
    }
    return html + QStringLiteral("</body></html>");
}
