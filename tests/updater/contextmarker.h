#ifndef CONTEXTMARKER_H
#define CONTEXTMARKER_H

#include <QTranslator>

// A translator that marks every text with the context it was translated under, so a text
// looked up under the wrong context shows: "Update" becomes "[MainWindow]Update".
class ContextMarker : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char*, int) const override
    {
        return QStringLiteral("[%1]%2").arg(QLatin1String(context), QString::fromUtf8(sourceText));
    }
};

#endif // CONTEXTMARKER_H
