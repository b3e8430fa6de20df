#include "consoletrace.h"

#include <QByteArray>
#include <cstdio>

void ConsoleTrace::print(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}
