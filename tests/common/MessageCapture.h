#pragma once
// Collects the Qt messages (warnings, critical messages) emitted while the object
// lives, from any thread; the previous handler is restored afterwards.
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace tk {

class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    QStringList messages() const;
    // Messages of the given type only (QtCriticalMsg, QtWarningMsg...).
    QStringList messages(QtMsgType type) const;
    bool contains(const QString& text) const;
    void clear();

private:
    QtMessageHandler mPrevious;
};

}  // namespace tk
