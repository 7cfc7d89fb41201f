// Every text of the window fits its control with each set of fonts that a
// Debian machine may have: DejaVu alone (what fontconfig itself pulls in) and
// DejaVu with Liberation (which the package recommends). The set is chosen
// from outside through FONTCONFIG_FILE (see CMakeLists.txt); VKD_FONT_SET
// names the families it must offer, so that a test that fell back to the
// machine's own fonts fails instead of passing unseen.
#include "form1.h"
#include "form1layout.h"
#include "updown.h"
#include "windowtesting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <QToolButton>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The room a control gives its text and the room the text takes, in pixels.
struct Fit
{
    QSize room;
    QSize needed;
};

QSize textSize(const QWidget *w, const QString &text)
{
    const QFontMetrics metrics(w->font());
    return {metrics.horizontalAdvance(text), metrics.height()};
}

Fit measure(QWidget *w, const QString &text)
{
    QStyle *style = w->style();
    const QSize needed = textSize(w, text);
    if (auto *button = qobject_cast<QPushButton *>(w)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = text;
        // A caption that touches the frame looks cut off: every caption of
        // the design keeps some air on each side, the narrowest
        // ("Код симв.") 3 pixels.
        const QSize air(2 * 3, 0);
        return {style->subElementRect(QStyle::SE_PushButtonContents, &option, button).size() - air, needed};
    }
    if (auto *box = qobject_cast<QCheckBox *>(w)) {
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = text;
        const QRect contents = style->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
        return {QSize(box->width() - contents.left(), contents.height()), needed};
    }
    if (auto *list = qobject_cast<QComboBox *>(w)) {
        QStyleOptionComboBox option;
        option.initFrom(list);
        option.currentText = text;
        option.editable = false;
        option.frame = true;
        return {style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list).size(),
                needed};
    }
    if (auto *edit = qobject_cast<QLineEdit *>(w)) {
        // A line edit keeps 2 pixels of its own on each side, inside its frame.
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit);
        return {edit->size() - QSize(2 * frame + 4, 2 * frame), needed};
    }
    if (auto *box = qobject_cast<QGroupBox *>(w)) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = text;
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect label = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        return {QSize(box->width() - label.left(), label.height()), needed};
    }
    // A label grows to its text from where it stands: it has the room up to
    // the edge of its parent and to the first control beside the letters
    // themselves (a tall label's empty bottom may lie over a frame's top).
    const QFontMetrics metrics(w->font());
    const QRect ink = metrics.tightBoundingRect(text);
    const int baseline = w->y() + (w->height() - metrics.height()) / 2 + metrics.ascent();
    const QRect row(w->x(), baseline + ink.top(), needed.width(), ink.height());
    int right = w->parentWidget()->width();
    if (auto *box = qobject_cast<QGroupBox *>(w->parentWidget()))
        right -= style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
    for (QObject *o : w->parentWidget()->children()) {
        auto *sibling = qobject_cast<QWidget *>(o);
        if (!sibling || sibling == w || !sibling->isVisible())
            continue;
        const QRect g = sibling->geometry();
        if (g.left() >= w->x() && g.top() <= row.bottom() && g.bottom() >= row.top())
            right = qMin(right, g.left());
    }
    return {QSize(right - w->x(), w->height()), needed};
}

} // namespace

class TestFontFit : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void fontSetInEffect();
    void textFitsItsControl_data();
    void textFitsItsControl();

private:
    std::unique_ptr<TForm1> m_form;
};

void TestFontFit::initTestCase()
{
    m_form = std::make_unique<TForm1>();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestFontFit::cleanupTestCase()
{
    m_form.reset();
}

void TestFontFit::fontSetInEffect()
{
    const QStringList wanted = qEnvironmentVariable("VKD_FONT_SET").split(u',', Qt::SkipEmptyParts);
    QVERIFY2(!wanted.isEmpty(), "VKD_FONT_SET is not set: the test does not know its fonts");
    QStringList families = QFontDatabase::families();
    // The generic names that Qt adds from fontconfig's aliases.
    families.removeIf([](const QString &f) { return f == "Sans Serif"_L1 || f == "Serif"_L1 || f == "Monospace"_L1; });
    families.sort();
    QCOMPARE(families, wanted);
    const QFontInfo font(m_form->font());
    qInfo("the window's font: %s, %d px", qPrintable(font.family()), font.pixelSize());
}

void TestFontFit::textFitsItsControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("demoMode"); // the spinner's position first, 0 for none

    for (const form1layout::Control &c : form1layout::controls) {
        if (!c.text || !*c.text || c.name == "lbDemoMode"_L1)
            continue;
        for (const QString &text : QString::fromUtf8(c.text).split(u'|'))
            QTest::addRow("%s: %s", c.name, qPrintable(text)) << QString::fromLatin1(c.name) << text << 0;
    }
    QTest::addRow("Label3: Character display demo") << u"Label3"_s << u"Character display demo"_s << 0;
    for (int mode = 1; mode <= 7; ++mode)
        QTest::addRow("lbDemoMode, mode %d", mode) << u"lbDemoMode"_s << QString() << mode;
}

void TestFontFit::textFitsItsControl()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, demoMode);

    QWidget *w = findControl(m_form.get(), qPrintable(name));
    if (demoMode != 0) {
        // Turned there as the operator turns it, so that the label is what
        // the window made of it.
        auto *spinner = findControl<UpDown>(m_form.get(), "udDemoMode");
        while (spinner->position() > demoMode)
            spinner->downButton()->click();
        while (spinner->position() < demoMode)
            spinner->upButton()->click();
        QCOMPARE(spinner->position(), demoMode);
        text = qobject_cast<QLabel *>(w)->text();
    }
    const Fit fit = measure(w, text);
    const QString what = u"\"%1\" in %2 (%3 px, %4): needs %5 x %6 px, has %7 x %8 px"_s.arg(
        text, name, QString::number(QFontInfo(w->font()).pixelSize()), QFontInfo(w->font()).family(),
        QString::number(fit.needed.width()), QString::number(fit.needed.height()), QString::number(fit.room.width()),
        QString::number(fit.room.height()));
    QVERIFY2(fit.needed.width() <= fit.room.width() && fit.needed.height() <= fit.room.height(), qPrintable(what));
}

QTEST_MAIN(TestFontFit)
#include "tst_fontfit.moc"
