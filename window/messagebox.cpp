#include "messagebox.h"

#include <QMessageBox>

void WindowMessageBox::show(const QString &text)
{
    // The program's name alone; the window's own caption adds the version.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tirrel"), text, QMessageBox::Ok, parent_);
    box.exec();
}
