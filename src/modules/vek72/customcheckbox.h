#ifndef CUSTOMCHECKBOX_H
#define CUSTOMCHECKBOX_H

#include <QCheckBox>

namespace Ui {

// A tri-state check box that the operator can only toggle between checked and unchecked: a click
// on the partial state checks it. The partial state is reached only by setCheckState from code,
// which shows that the channels disagree.
class CustomCheckBox : public QCheckBox
{
    Q_OBJECT

public:
    explicit CustomCheckBox(QWidget* parent = nullptr);

    // Checked -> unchecked; unchecked or partially checked -> checked.
    static Qt::CheckState nextState(Qt::CheckState current);

protected:
    void nextCheckState() override;
};

} // namespace Ui

#endif
