#include "key_queue.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QObject>
#include <QtGui/QKeyEvent>

#include <deque>

namespace live {

namespace {

std::deque<int> Keys;

// The codes highgui gives: the character typed, Esc as 27, other keys by their X key symbol
// (0xff51 for Left, 0xff53 for Right).
int keyCode(const QKeyEvent& event) {
    if (event.key() == Qt::Key_Escape) return 27;
    const QString text = event.text();
    if (text.size() == 1 && text[0].unicode() >= 0x20 && text[0].unicode() < 0x7f) return text[0].unicode();
    return static_cast<int>(event.nativeVirtualKey());
}

class KeyFilter : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
        const auto* key = static_cast<const QKeyEvent*>(event);
        // The window sees a key before the widget it goes on to: taken here, it goes no further.
        if (key->modifiers() & Qt::ControlModifier) return false;  // the toolkit's own zoom keys
        const int code = keyCode(*key);
        if (code > 0) Keys.push_back(code);
        return true;
    }
};

}  // namespace

bool startKeyQueue() {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return false;
    static KeyFilter* filter = new KeyFilter;
    application->installEventFilter(filter);
    return true;
}

bool takeKey(int& key) {
    if (Keys.empty()) return false;
    key = Keys.front();
    Keys.pop_front();
    return true;
}

}  // namespace live
