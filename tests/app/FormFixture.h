#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <optional>

#include "app/TForm1.h"
#include "engine/TTimer.h"
#include "protocol/ModbusCrc.h"
#include "serial/SerialComm.h"
#include "tests/common/FormControls.h"
#include "tests/common/PollAnswers.h"
#include "tests/common/PtyDevice.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

// Builds the real window for each test, as the program runs it: with a history store in a
// temporary folder, so a reading is shown once the store has committed it. Message boxes are
// recorded instead of shown; the controls are driven with real clicks.
class FormFixture : public ::testing::Test {
protected:
    using ShownMessage = testsupport::WindowRig::ShownMessage;

    void SetUp() override { window.emplace(); }
    void TearDown() override { window.reset(); }

    TForm1& Form() const { return window->Form(); }
    std::vector<ShownMessage>& Messages() { return window->Messages(); }

    static void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    static void Type(QLineEdit* edit, const QString& text) { edit->setText(text); }

    // Opens the port on `device` through the port box and the open button.
    void OpenPortOn(const testsupport::PtyDevice& device) {
        ASSERT_TRUE(window->OpenPort(device.SlavePath()));
        ASSERT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("关闭串口"));
    }

    QStringList MemoLines() const {
        const QString text = Control<QPlainTextEdit>(Form(), "Memo1")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    std::optional<testsupport::WindowRig> window;
};

using testsupport::PollAnswerBytes;
