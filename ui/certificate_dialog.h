#pragma once

#include <QDialog>

#include <functional>
#include <string>

#include "engine/tls_channel.h"

class QWidget;

namespace qvex {

// What the certificate question says beside the certificate's own rows.
inline constexpr const char* kCertificateTitle = "Untrusted Server Certificate";
inline constexpr const char* kCertificateAdvice =
    "Trust it only if the fingerprint is the one the server's administrator gave you.";

// Asks whether to trust a server certificate that the trust store or the host name check
// refused. Cancel is the default button, so neither Enter nor Escape trusts by accident.
class CertificateDialog : public QDialog {
    Q_OBJECT

  public:
    // `server` is "host:port" as the session names it.
    CertificateDialog(const CertificateInfo& certificate, const std::string& server,
                      QWidget* parent = nullptr);

    // What the user chose; Cancel until a trust button is pressed.
    CertificateDecision decision() const { return decision_; }

  private:
    CertificateDecision decision_ = CertificateDecision::Cancel;
};

// From a session's worker thread: shows the dialog over `parent` on the window thread and
// waits for the answer. Every 100 ms it asks `stopping` whether the session is being ended;
// then it answers Cancel and closes the dialog. The worker never touches a widget.
[[nodiscard]] CertificateDecision AskAboutCertificate(QWidget* parent,
                                                      const CertificateInfo& certificate,
                                                      const std::string& server,
                                                      const std::function<bool()>& stopping);

}  // namespace qvex
