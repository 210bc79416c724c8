// The about box: product name and version, a notice, three lines of help and the program's web
// address, whose click opens the internet shortcut beside the program. Centred on the screen
// when created; once closed it is never shown again, the next About command makes a new one.
#pragma once

#include <QPointer>
#include <QSize>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pelorin {

// The full size of the primary screen in pixels (zero without a screen).
QSize PrimaryScreenSize();

class TfrmAbout : public QWidget {
  Q_OBJECT
 public:
  // `screenSize` is the screen to centre on; tests give their own.
  explicit TfrmAbout(QWidget* owner = nullptr, QSize screenSize = PrimaryScreenSize());

  // Controls, by the names of the designer.
  QLabel* Label1;
  QLabel* lblVersion;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QLineEdit* txtHTML;
  QPushButton* cmdClose;

  // Event handlers.
  void FormCreate(QObject* Sender);
  void FormActivate(QObject* Sender);
  void FormClose(QObject* Sender);
  void cmdCloseClick(QObject* Sender);
  void txtHTMLChange(QObject* Sender);
  void txtHTMLClick(QObject* Sender);

  // The address field's fixed text: "The URL is: " and the program's web address.
  static QString AddressText();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetUpWindow();
  void CreateLabels();
  void CreateAddressField();
  void CreateCloseButton();
  void ConnectEvents();
  void CentreOnScreen();
  void CentreControls();

  QSize screenSize_;
};

// True from the creation of an about box until it is closed.
extern bool AboutOpen;
// The current about box; null once a closed one has been released.
extern QPointer<TfrmAbout> frmAbout;

}  // namespace pelorin
