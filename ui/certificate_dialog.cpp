#include "ui/certificate_dialog.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "ui/qt_text.h"

namespace qvex {
namespace {

// The answer as the two threads share it: the window thread writes it when the dialog
// closes, the worker when it gives up waiting; the first one counts.
struct PendingAnswer {
    std::mutex lock;
    std::condition_variable ready;
    std::optional<CertificateDecision> decision;
    QPointer<CertificateDialog> dialog;  // window thread only
};

constexpr auto kStopCheck = std::chrono::milliseconds(100);

QLabel* ValueLabel(const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

// 32 pairs on two lines of 16, so the fingerprint reads in halves and fits the dialog.
QString FingerprintLines(const std::string& fingerprint) {
    QString text = Text(fingerprint);
    constexpr int kHalf = 16 * 3;  // "AB:" per pair
    if (text.size() > kHalf && text[kHalf - 1] == ':') {
        text.replace(kHalf - 1, 1, "\n");
    }
    return text;
}

}  // namespace

CertificateDialog::CertificateDialog(const CertificateInfo& certificate, const std::string& server,
                                     QWidget* parent)
    : QDialog(parent) {
    setObjectName("certificateDialog");
    setWindowTitle(kCertificateTitle);

    auto* icon = new QLabel;
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(side, side));
    icon->setAlignment(Qt::AlignTop);

    auto* heading = new QLabel(QString("The certificate of %1 is not trusted").arg(Text(server)));
    heading->setObjectName("certificateHeading");
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto* reason = ValueLabel("Reason: " + Text(certificate.problem), "certificateReason");

    auto* rows = new QFormLayout;
    rows->setLabelAlignment(Qt::AlignLeft);
    rows->addRow("Subject:", ValueLabel(Text(certificate.subject), "certificateSubject"));
    rows->addRow("Issuer:", ValueLabel(Text(certificate.issuer), "certificateIssuer"));
    rows->addRow("Valid:",
                 ValueLabel(Text(certificate.notBefore) + " \u2013 " + Text(certificate.notAfter),
                            "certificateValidity"));
    QLabel* fingerprint =
        ValueLabel(FingerprintLines(certificate.fingerprint), "certificateFingerprint");
    fingerprint->setWordWrap(false);
    // Fixed pitch keeps the pairs in columns; at the dialog's point size the first line sits
    // on its label's baseline.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(QFontInfo(font()).pointSizeF());
    fingerprint->setFont(fixed);
    rows->addRow("SHA-256:", fingerprint);
    // Each label beside the first line of its value, which may take two.
    for (int row = 0; row < rows->rowCount(); ++row) {
        if (auto* label = qobject_cast<QLabel*>(
                rows->itemAt(row, QFormLayout::LabelRole)->widget())) {
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
    }

    auto* advice = new QLabel(kCertificateAdvice);
    advice->setObjectName("certificateAdvice");
    advice->setWordWrap(true);

    auto* buttons = new QDialogButtonBox;
    QPushButton* once = buttons->addButton("Trust once", QDialogButtonBox::AcceptRole);
    once->setObjectName("trustOnce");
    QPushButton* always = buttons->addButton("Always trust", QDialogButtonBox::AcceptRole);
    always->setObjectName("alwaysTrust");
    QPushButton* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    cancel->setObjectName("cancel");
    // Only a click (or Space on a focused button) trusts: Enter goes to Cancel wherever the
    // focus is.
    once->setAutoDefault(false);
    always->setAutoDefault(false);
    connect(once, &QPushButton::clicked, this, [this] {
        decision_ = CertificateDecision::TrustOnce;
        accept();
    });
    connect(always, &QPushButton::clicked, this, [this] {
        decision_ = CertificateDecision::TrustAlways;
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* text = new QVBoxLayout;
    text->addWidget(heading);
    text->addWidget(reason);
    text->addSpacing(6);
    text->addLayout(rows);
    text->addSpacing(6);
    text->addWidget(advice);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(8);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    // Made the default once it is inside the dialog, so the dialog keeps it as its default.
    cancel->setDefault(true);
    cancel->setFocus();
    setMinimumWidth(560);
}

CertificateDecision AskAboutCertificate(QWidget* parent, const CertificateInfo& certificate,
                                        const std::string& server,
                                        const std::function<bool()>& stopping) {
    auto pending = std::make_shared<PendingAnswer>();
    // With `parent` gone before the call runs, Qt drops it: the wait below ends by `stopping`.
    QMetaObject::invokeMethod(
        parent,
        [parent, pending, certificate, server] {
            auto* dialog = new CertificateDialog(certificate, server, parent);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            pending->dialog = dialog;
            QObject::connect(dialog, &QDialog::finished, dialog, [pending, dialog] {
                std::lock_guard guard(pending->lock);
                if (!pending->decision) {
                    pending->decision = dialog->decision();
                }
                pending->ready.notify_all();
            });
            dialog->open();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(pending->lock);
    while (!pending->ready.wait_for(lock, kStopCheck,
                                    [&pending] { return pending->decision.has_value(); })) {
        if (stopping()) {
            pending->decision = CertificateDecision::Cancel;
            lock.unlock();
            QMetaObject::invokeMethod(
                parent,
                [pending] {
                    if (pending->dialog) {
                        pending->dialog->reject();
                    }
                },
                Qt::QueuedConnection);
            return CertificateDecision::Cancel;
        }
    }
    return *pending->decision;
}

}  // namespace qvex
