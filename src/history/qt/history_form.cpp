#include "history/qt/history_form.h"

#include "history/history_window.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace voxlet::history {

namespace {

constexpr int kColumnWidths[] = { 120, 70, 120, 170, 130, 120 };
const char* const kHeadings[] = { "日時", "種類", "名前", "アドレス", "長さ", "保護" };
constexpr int kTextsRole = Qt::UserRole;

// Draws a row's texts in the columns of the heading; the item's own text,
// all of them in one line, is what a screen reader says.
class ColumnsDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem o = option;
        initStyleOption(&o, index);
        o.text.clear();
        o.widget->style()->drawControl(QStyle::CE_ItemViewItem, &o, p, o.widget);
        const QStringList texts = index.data(kTextsRole).toStringList();
        p->save();
        p->setPen(
            o.palette.color(o.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        int x = o.rect.left() + 4;
        for (int i = 0; i < texts.size() && i < int(std::size(kColumnWidths)); ++i) {
            const QRect cell(x, o.rect.top(), kColumnWidths[i] - 8, o.rect.height());
            p->drawText(cell, Qt::AlignLeft | Qt::AlignVCenter,
                o.fontMetrics.elidedText(texts.at(i), Qt::ElideRight, cell.width()));
            x += kColumnWidths[i];
        }
        p->restore();
    }
};

} // namespace

HistoryForm::HistoryForm(HistoryWindow& logic, QWidget* parent)
    : QDialog(parent)
    , logic_(logic)
{
    setObjectName(QStringLiteral("History"));
    setWindowTitle(QStringLiteral("履歴"));

    auto bar = new QMenuBar(this);
    bar->setAccessibleName(QStringLiteral("メニュー"));
    call_ = bar->addAction(QStringLiteral("電話する"));
    clear_ = bar->addAction(QStringLiteral("消去"));
    QAction* close = bar->addAction(QStringLiteral("閉じる"));

    auto headings = new QHBoxLayout;
    headings->setContentsMargins(6, 4, 0, 0);
    headings->setSpacing(0);
    for (int i = 0; i < int(std::size(kHeadings)); ++i) {
        auto heading = new QLabel(QString::fromUtf8(kHeadings[i]), this);
        heading->setFixedWidth(kColumnWidths[i]);
        headings->addWidget(heading);
    }
    headings->addStretch();

    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("通話履歴"));
    list_->setItemDelegate(new ColumnsDelegate(list_));
    list_->setMinimumSize(760, 320);
    status_ = new QLineEdit(this);
    status_->setAccessibleName(QStringLiteral("履歴の状態"));
    status_->setReadOnly(true);

    auto layout = new QVBoxLayout(this);
    layout->setMenuBar(bar);
    layout->addLayout(headings);
    layout->addWidget(list_);
    layout->addWidget(status_);

    connect(call_, &QAction::triggered, this, [this] { logic_.CallChosen(); });
    connect(clear_, &QAction::triggered, this, [this] { logic_.ClearAll(); });
    connect(close, &QAction::triggered, this, &QDialog::accept);
    // Chosen by mouse, keyboard or a screen reader alike: the selection is the choice.
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> chosen = list_->selectedItems();
        logic_.Choose(chosen.isEmpty() ? -1 : list_->row(chosen.first()));
    });
    connect(list_, &QListWidget::itemActivated, this, [this] { logic_.CallChosen(); });
    connect(&logic_, &HistoryWindow::changed, this, &HistoryForm::Refresh);
    connect(&logic_, &HistoryWindow::closeRequested, this, &QDialog::accept);
    logic_.Choose(-1);
    Refresh();
}

HistoryForm::~HistoryForm()
{
    disconnect(&logic_, nullptr, this, nullptr);
}

void HistoryForm::Refresh()
{
    const QList<QStringList> rows = logic_.rows();
    const QSignalBlocker quiet(list_);
    bool same = list_->count() == rows.size();
    for (int i = 0; same && i < rows.size(); ++i)
        same = list_->item(i)->data(kTextsRole).toStringList() == rows.at(i);
    if (!same) {
        list_->clear();
        for (const QStringList& texts : rows) {
            auto item = new QListWidgetItem(texts.join(QLatin1Char(' ')), list_);
            item->setData(kTextsRole, texts);
        }
    }
    list_->setCurrentRow(logic_.chosen());
    status_->setText(logic_.status());
    call_->setEnabled(logic_.callEnabled());
    clear_->setEnabled(logic_.clearEnabled());
}

} // namespace voxlet::history
