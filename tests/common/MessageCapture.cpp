#include "MessageCapture.h"

#include <mutex>
#include <utility>
#include <vector>

namespace tk {
namespace {
std::mutex gMutex;
std::vector<std::pair<QtMsgType, QString>> gMessages;

void collect(QtMsgType type, const QMessageLogContext&, const QString& text) {
    std::lock_guard<std::mutex> lock(gMutex);
    gMessages.emplace_back(type, text);
}
}  // namespace

MessageCapture::MessageCapture() {
    clear();
    mPrevious = qInstallMessageHandler(collect);
}

MessageCapture::~MessageCapture() { qInstallMessageHandler(mPrevious); }

QStringList MessageCapture::messages() const {
    std::lock_guard<std::mutex> lock(gMutex);
    QStringList out;
    for (const auto& m : gMessages) out << m.second;
    return out;
}

QStringList MessageCapture::messages(QtMsgType type) const {
    std::lock_guard<std::mutex> lock(gMutex);
    QStringList out;
    for (const auto& m : gMessages)
        if (m.first == type) out << m.second;
    return out;
}

bool MessageCapture::contains(const QString& text) const {
    for (const QString& m : messages())
        if (m.contains(text)) return true;
    return false;
}

void MessageCapture::clear() {
    std::lock_guard<std::mutex> lock(gMutex);
    gMessages.clear();
}

}  // namespace tk
