#include "customcheckbox.h"

#include <QVariant>

namespace Ui {

CustomCheckBox::CustomCheckBox(QWidget* parent)
    : QCheckBox(parent)
{
    setProperty("tristate", true);
}

Qt::CheckState CustomCheckBox::nextState(Qt::CheckState current)
{
    return current == Qt::Checked ? Qt::Unchecked : Qt::Checked;
}

void CustomCheckBox::nextCheckState()
{
    setCheckState(nextState(checkState()));
}

} // namespace Ui
