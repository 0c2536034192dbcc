#include "stepeditor.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTreeView>

#include <cmath>

#include "defaultscenario.h"

using verify::SignalType;

namespace {

enum Role {
    FieldRole = Qt::UserRole + 1,
    KindRole,
    ChoicesRole,
    MinimumRole,
    MaximumRole,
    DecimalsRole,
    ValueRole,
};
enum Kind { ChoiceKind, IntegerKind, NumberKind, TextKind };

const QStringList typeChoices{ QStringLiteral("AC"), QStringLiteral("DC"), QStringLiteral("Особый") };
const SignalType typeValues[] = { SignalType::Ac, SignalType::Dc, SignalType::Custom };
const QStringList rangeChoices{ QStringLiteral("полный"), QStringLiteral("1/10") };
const QStringList rateChoices{ QStringLiteral("48 кГц"), QStringLiteral("96 кГц"), QStringLiteral("192 кГц") };
const int rateValues[] = { 48000, 96000, 192000 };
const QStringList modeChoices{ QStringLiteral("Циклический автогенератор"), QStringLiteral("Потоковый") };
const QStringList measureChoices{ QStringLiteral("DC"), QStringLiteral("AC"), QStringLiteral("частота") };
const verify::Measure measureValues[] = { verify::Measure::DcVoltage, verify::Measure::AcVoltage, verify::Measure::Frequency };
const QStringList filterChoices{ QStringLiteral("> 3 Гц"), QStringLiteral("> 20 Гц"), QStringLiteral("> 200 Гц") };
const int filterValues[] = { 3, 20, 200 };
const QStringList expectedChoices{ QStringLiteral("авто: что играет канал"), QStringLiteral("задано") };
const QStringList toleranceChoices{ QStringLiteral("± % значения + % диапазона"), QStringLiteral("± абсолютный") };

template <typename T, size_t N>
int indexOf(const T (&values)[N], T value)
{
    for (size_t i = 0; i < N; ++i) {
        if (values[i] == value)
            return int(i);
    }
    return 0;
}

QStringList shapeChoices()
{
    QStringList names;
    for (int shape = 0; shape < verify::shapeCount; ++shape)
        names << verify::shapeText(shape);
    return names;
}

// A number as the rows show it, with a decimal comma; a point typed out of habit (or from a
// keypad) is taken as the comma rather than dropped, which would make "2.5" 25.
class DecimalSpinBox : public QDoubleSpinBox
{
public:
    explicit DecimalSpinBox(QWidget* parent) : QDoubleSpinBox(parent)
    {
        QLocale russian(QLocale::Russian, QLocale::Russia);
        russian.setNumberOptions(QLocale::OmitGroupSeparator);
        setLocale(russian);
    }

    QValidator::State validate(QString& input, int& pos) const override
    {
        input.replace(QLatin1Char('.'), locale().decimalPoint());
        return QDoubleSpinBox::validate(input, pos);
    }
};

// Editors for the value column: a selector, a spin box or a line, as the row says.
class ValueDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        switch (index.data(KindRole).toInt()) {
        case ChoiceKind: {
            auto* combo = new QComboBox(parent);
            combo->addItems(index.data(ChoicesRole).toStringList());
            // A choice is taken as soon as it is made.
            connect(combo, QOverload<int>::of(&QComboBox::activated), this, [this, combo] {
                auto* self = const_cast<ValueDelegate*>(this);
                emit self->commitData(combo);
                emit self->closeEditor(combo);
            });
            return combo;
        }
        case IntegerKind: {
            auto* spin = new QSpinBox(parent);
            spin->setRange(index.data(MinimumRole).toInt(), index.data(MaximumRole).toInt());
            return spin;
        }
        case NumberKind: {
            auto* spin = new DecimalSpinBox(parent);
            spin->setDecimals(index.data(DecimalsRole).toInt());
            spin->setRange(index.data(MinimumRole).toDouble(), index.data(MaximumRole).toDouble());
            return spin;
        }
        default:
            return new QLineEdit(parent);
        }
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        const QVariant value = index.data(ValueRole);
        if (auto* combo = qobject_cast<QComboBox*>(editor))
            combo->setCurrentIndex(value.toInt());
        else if (auto* spin = qobject_cast<QSpinBox*>(editor))
            spin->setValue(value.toInt());
        else if (auto* number = qobject_cast<QDoubleSpinBox*>(editor))
            number->setValue(value.toDouble());
        else if (auto* line = qobject_cast<QLineEdit*>(editor))
            line->setText(value.toString());
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override
    {
        QVariant value;
        if (auto* combo = qobject_cast<QComboBox*>(editor))
            value = combo->currentIndex();
        else if (auto* spin = qobject_cast<QSpinBox*>(editor))
            value = spin->value();
        else if (auto* number = qobject_cast<QDoubleSpinBox*>(editor))
            value = number->value();
        else if (auto* line = qobject_cast<QLineEdit*>(editor))
            value = line->text();
        model->setData(index, value, ValueRole);
    }
};

QStandardItem* nameItem(const QString& text)
{
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    return item;
}

} // namespace

StepEditor::StepEditor(QTreeView* view, QObject* parent) : QObject(parent), view(view)
{
    rows.setHorizontalHeaderLabels({ QStringLiteral("Параметр"), QStringLiteral("Значение") });
    view->setModel(&rows);
    view->setItemDelegateForColumn(1, new ValueDelegate(view));
    view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked
                          | QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    view->setAlternatingRowColors(true);
    connect(&rows, &QStandardItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex&, const QVector<int>& roles) {
                if (!filling && roles.contains(ValueRole))
                    valueChanged(topLeft);
            });
}

StepEditor::~StepEditor() = default;

void StepEditor::show(const verify::Node* shown, int channelCount)
{
    hasNode = shown != nullptr;
    if (shown)
        node = *shown;
    channels = channelCount > 0 ? channelCount : 8;
    rebuild();
}

void StepEditor::setReadOnly(bool on)
{
    readOnly = on;
    rebuild();
}

QStandardItem* StepEditor::valueItem(Field field) const
{
    for (int g = 0; g < rows.rowCount(); ++g) {
        QStandardItem* group = rows.item(g, 0);
        for (int r = 0; r < group->rowCount(); ++r) {
            QStandardItem* value = group->child(r, 1);
            if (value && value->data(FieldRole).toInt() == field)
                return value;
        }
    }
    return nullptr;
}

void StepEditor::rebuild()
{
    filling = true;
    const int selectedField = view->currentIndex().isValid() ? view->currentIndex().siblingAtColumn(1).data(FieldRole).toInt() : -1;
    rows.removeRows(0, rows.rowCount());
    QStandardItem* group = nullptr;
    const auto addGroup = [&](const QString& title) {
        group = nameItem(title);
        QFont bold = group->font();
        bold.setBold(true);
        group->setFont(bold);
        auto* filler = nameItem(QString());
        rows.appendRow({ group, filler });
    };
    const auto addRow = [&](const QString& name, Field field, Kind kind, const QVariant& value, const QString& shown) {
        auto* item = new QStandardItem(shown);
        item->setData(field, FieldRole);
        item->setData(kind, KindRole);
        item->setData(value, ValueRole);
        item->setEditable(!readOnly);
        group->appendRow({ nameItem(name), item });
        return item;
    };
    const auto addChoice = [&](const QString& name, Field field, const QStringList& choices, int index) {
        addRow(name, field, ChoiceKind, index, choices.value(index))->setData(choices, ChoicesRole);
    };
    const auto addNumber = [&](const QString& name, Field field, double value, double low, double high, int decimals) {
        QStandardItem* item = addRow(name, field, NumberKind, value, verify::numberText(value, decimals));
        item->setData(low, MinimumRole);
        item->setData(high, MaximumRole);
        item->setData(decimals, DecimalsRole);
    };
    const auto addInteger = [&](const QString& name, Field field, int value, int low, int high) {
        QStandardItem* item = addRow(name, field, IntegerKind, value, QString::number(value));
        item->setData(low, MinimumRole);
        item->setData(high, MaximumRole);
    };

    if (hasNode && !node.isStep) {
        addGroup(QStringLiteral("Категория"));
        addRow(QStringLiteral("Название"), Title, TextKind, node.title, node.title);
    } else if (hasNode) {
        const verify::Step& s = node.step;
        const QString unit = verify::measureUnit(s.measure);
        addGroup(QStringLiteral("Шаг"));
        addRow(QStringLiteral("Название"), Title, TextKind, s.title, s.title.isEmpty() ? verify::stepTitle(s) : s.title);
        addGroup(QStringLiteral("Сигнал"));
        addInteger(QStringLiteral("Канал"), Channel, s.channel, 1, std::max(channels, s.channel));
        addChoice(QStringLiteral("Тип"), Type, typeChoices, indexOf(typeValues, s.type));
        if (s.type == SignalType::Custom)
            addChoice(QStringLiteral("Форма"), Shape, shapeChoices(), s.shape);
        addChoice(QStringLiteral("Диапазон"), Range, rangeChoices, s.range == verify::Range::Full ? 0 : 1);
        addNumber(s.type == SignalType::Dc ? QStringLiteral("Уровень, В")
                  : s.type == SignalType::Ac ? QStringLiteral("СКЗ, В") : QStringLiteral("Амплитуда, В"),
                  Voltage, s.voltage, -1000, 1000, 3);
        if (s.type != SignalType::Dc) {
            addNumber(QStringLiteral("Частота, Гц"), Frequency, s.frequency, 0.001, 250000, 3);
            addNumber(QStringLiteral("Смещение, В"), Offset, s.offset, -1000, 1000, 3);
        }
        addChoice(QStringLiteral("Частота ЦАП"), DacRate, rateChoices, indexOf(rateValues, s.dacRate));
        addChoice(QStringLiteral("Режим"), Mode, modeChoices, s.cyclic ? 0 : 1);
        addGroup(QStringLiteral("Измерение"));
        addChoice(QStringLiteral("Функция"), Measure, measureChoices, indexOf(measureValues, s.measure));
        if (s.measure == verify::Measure::AcVoltage)
            addChoice(QStringLiteral("Фильтр AC"), AcFilter, filterChoices, indexOf(filterValues, s.acFilterHz));
        addInteger(QStringLiteral("Выдержка, мс"), Settle, s.settleMs, 0, 600000);
        addInteger(QStringLiteral("Число отсчётов"), Readings, s.readings, 1, 100);
        addGroup(QStringLiteral("Оценка"));
        addChoice(QStringLiteral("Ожидается"), ExpectedMode, expectedChoices, s.expectedGiven ? 1 : 0);
        if (s.expectedGiven)
            addNumber(QStringLiteral("Значение, ") + unit, Expected, s.expected, -1e9, 1e9, 7);
        addChoice(QStringLiteral("Допуск"), ToleranceKind, toleranceChoices, s.tolerance.absolute ? 1 : 0);
        if (s.tolerance.absolute) {
            addNumber(QStringLiteral("Предел, ") + unit, Limit, s.tolerance.limit, 0, 1e9, 7);
        } else {
            addNumber(QStringLiteral("% значения"), ValuePct, s.tolerance.valuePct, 0, 100, 4);
            addNumber(QStringLiteral("% диапазона"), RangePct, s.tolerance.rangePct, 0, 100, 4);
        }
    }
    view->expandAll();
    view->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    if (QStandardItem* again = selectedField >= 0 ? valueItem(Field(selectedField)) : nullptr)
        view->setCurrentIndex(again->index());
    filling = false;
}

void StepEditor::valueChanged(const QModelIndex& index)
{
    if (!hasNode)
        return;
    const Field field = Field(index.data(FieldRole).toInt());
    const bool changed = apply(field, index.data(ValueRole));
    // Shown again in any case (a refused value goes back to what the node holds), the operator
    // still working in the rows.
    QMetaObject::invokeMethod(this, [this] {
        rebuild();
        view->setFocus();
    }, Qt::QueuedConnection);
    if (changed)
        emit edited(node);
}

bool StepEditor::apply(Field field, const QVariant& value)
{
    if (!node.isStep) {
        if (field != Title || value.toString() == node.title)
            return false;
        node.title = value.toString();
        return true;
    }
    const verify::Step before = node.step;
    verify::Step& s = node.step;
    const int index = value.toInt();
    const bool settleWasDefault = s.settleMs == verify::defaultSettleMs(s.measure, s.acFilterHz);
    switch (field) {
    case Title: s.title = value.toString().trimmed(); break;
    case Channel: s.channel = qBound(1, index, 8); break;
    case Type: s.type = typeValues[qBound(0, index, 2)]; break;
    case Shape: s.shape = qBound(0, index, verify::shapeCount - 1); break;
    case Range: s.range = index == 0 ? verify::Range::Full : verify::Range::Tenth; break;
    case Voltage: s.voltage = value.toDouble(); break;
    case Frequency: s.frequency = value.toDouble(); break;
    case Offset: s.offset = value.toDouble(); break;
    case DacRate: s.dacRate = rateValues[qBound(0, index, 2)]; break;
    case Mode: s.cyclic = index == 0; break;
    case Measure: s.measure = measureValues[qBound(0, index, 2)]; break;
    case AcFilter: s.acFilterHz = filterValues[qBound(0, index, 2)]; break;
    case Settle: s.settleMs = index; break;
    case Readings: s.readings = index; break;
    case ExpectedMode:
        s.expectedGiven = index == 1;
        if (s.expectedGiven && !before.expectedGiven)
            s.expected = verify::expectedValue(before);
        break;
    case Expected: s.expected = value.toDouble(); break;
    case ToleranceKind:
        s.tolerance.absolute = index == 1;
        break;
    case ValuePct: s.tolerance.valuePct = value.toDouble(); break;
    case RangePct: s.tolerance.rangePct = value.toDouble(); break;
    case Limit: s.tolerance.limit = value.toDouble(); break;
    }
    // A signal of another type is measured as such (its level, its RMS) when the step measured
    // what the old type plays, through the filter its frequency needs.
    const auto natural = [](SignalType type) {
        return type == SignalType::Dc ? verify::Measure::DcVoltage : verify::Measure::AcVoltage;
    };
    if (field == Type && before.measure == natural(before.type))
        s.measure = natural(s.type);
    if (s.measure == verify::Measure::AcVoltage && before.measure != verify::Measure::AcVoltage)
        s.acFilterHz = verify::acFilterFor(s.frequency);
    // A measurement or filter of another kind takes its own settle time, unless one was chosen.
    if (s.measure != before.measure || s.acFilterHz != before.acFilterHz) {
        if (settleWasDefault)
            s.settleMs = verify::defaultSettleMs(s.measure, s.acFilterHz);
    }
    // A new measurement of another kind starts from the accuracy table's tolerance.
    if (s.measure != before.measure && !s.tolerance.absolute)
        s.tolerance = verify::shippedAccuracy().forStep(s);
    return s != before;
}
