#ifndef STEPEDITOR_H
#define STEPEDITOR_H

#include <QObject>
#include <QStandardItemModel>

#include "scenario.h"

class QTreeView;

// The inner tree of the page "Поверка": the settings of the step selected in the scenario (or the
// title of the category), a row each, edited in place: a selector for a choice, a spin box for a
// number. Every accepted edit is told as the whole node changed. On the GUI thread.
class StepEditor : public QObject
{
    Q_OBJECT

public:
    StepEditor(QTreeView* view, QObject* parent = nullptr);
    ~StepEditor() override;

    // The node to show (a copy is kept); null shows nothing. `channelCount`: the channels a step
    // may name (8 when no module is open).
    void show(const verify::Node* node, int channelCount);
    void setReadOnly(bool readOnly);
    QStandardItemModel* model() { return &rows; }

    // The fields, as the rows name them.
    enum Field {
        Title, Channel, Type, Shape, Range, Voltage, Frequency, Offset, DacRate, Mode, Measure, AcFilter, Settle,
        Readings, ExpectedMode, Expected, ToleranceKind, ValuePct, RangePct, Limit,
    };
    // The row of a field; null when the node shown has none.
    QStandardItem* valueItem(Field field) const;

signals:
    void edited(const verify::Node& node);

private:
    void rebuild();
    void valueChanged(const QModelIndex& index);
    // Applies a new value of a field to the node shown; false when it changes nothing.
    bool apply(Field field, const QVariant& value);

    QTreeView* view;
    QStandardItemModel rows;
    verify::Node node;
    bool hasNode = false;
    int channels = 8;
    bool readOnly = false;
    bool filling = false;
};

#endif
