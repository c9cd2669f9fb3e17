#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/TForm1.h"
#include "engine/TTimer.h"
#include "protocol/ModbusCrc.h"
#include "serial/SerialComm.h"
#include "tests/common/FormControls.h"
#include "tests/common/PollAnswers.h"
#include "tests/common/PtyDevice.h"
#include "tests/common/WaitFor.h"
#include "widgets/MessageBox.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

// Builds the real window for each test, records message boxes instead of showing them, and
// drives the controls with real clicks.
class FormFixture : public ::testing::Test {
protected:
    struct ShownMessage {
        QString text;
        QString caption;
    };

    void SetUp() override {
        messagebox::SetHook([this](const QString& text, const QString& caption) {
            messages.push_back({text, caption});
        });
        form = std::make_unique<TForm1>();
        form->show();
        QObject::connect(&form->Session(), &MonitorSession::CycleEnded, [this] { ++cyclesEnded; });
    }

    void TearDown() override {
        form.reset();
        messagebox::SetHook({});
    }

    static void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    static void Type(QLineEdit* edit, const QString& text) { edit->setText(text); }

    // Opens the port on `device` through the port box and the open button.
    void OpenPortOn(const testsupport::PtyDevice& device) {
        Control<QComboBox>(*form, "Com_combox")->setEditText(device.SlavePath());
        Click(Control<QPushButton>(*form, "Button1"));
        ASSERT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("关闭串口"));
    }

    QStringList MemoLines() const {
        const QString text = Control<QPlainTextEdit>(*form, "Memo1")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    std::unique_ptr<TForm1> form;
    std::vector<ShownMessage> messages;
    int cyclesEnded = 0;
};

using testsupport::PollAnswerBytes;
