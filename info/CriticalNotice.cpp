#include "CriticalNotice.h"

#include <QMessageBox>
#include <QTextCodec>

namespace {

// "Error"
const char g_title[] = "\xB4\xED\xCE\xF3";
// "The main program has not responded for a long time and will be forced to exit."
const char g_text[] = "\xD6\xF7\xB3\xCC\xD0\xF2\xB3\xA4\xCA\xB1\xBC\xE4\xCE\xB4\xCF\xEC\xD3\xA6"
                      "\xA3\xAC\xBD\xAB\xC7\xBF\xD6\xC6\xCD\xCB\xB3\xF6\xA1\xA3";

bool LocalCodecReadsGbk()
{
    const QTextCodec *local = QTextCodec::codecForLocale();
    if (!local)
        return false;
    const QByteArray name = local->name().toUpper();
    // GB18030 is a superset of GBK: both read the stored bytes alike.
    return name == "GBK" || name == "GB18030" || name == "CP936" || name == "MS936" ||
           name == "WINDOWS-936" || local->aliases().contains("GBK");
}

} // namespace

QString FromStoredGbk(const char *bytes)
{
    if (LocalCodecReadsGbk())
        return QString::fromLocal8Bit(bytes, -1);
    if (QTextCodec *gbk = QTextCodec::codecForName("GBK"))
        return gbk->toUnicode(bytes);
    return QString::fromLocal8Bit(bytes, -1);
}

QString NoticeTitle()
{
    return FromStoredGbk(g_title);
}

QString NoticeText()
{
    return FromStoredGbk(g_text);
}

int ShowCriticalNotice()
{
    const QString text = NoticeText();
    const QString title = NoticeTitle();
    QMessageBox::critical(nullptr, title, text, QMessageBox::Yes, QMessageBox::Yes);
    return 0;
}
