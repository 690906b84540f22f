#include "messagebox.h"

#include <QMessageBox>

void WindowMessageBox::show(const QString &text, const QString &caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent_);
    box.exec();
}
