// The result dialog.
#include "console/Unit2.h"

#include "report/StepList.h"
#include "ui/Toolkit.h"

TForm2* Form2 = nullptr;

namespace {
constexpr int kWindowFont = 11;
}

TForm2::TForm2()
    : ui::Form("Form2", 409, 325),
      Label1(this, "Label1", {8, 8, 41, 16}),
      Label2(this, "Label2", {48, 8, 65, 16}),
      Label3(this, "Label3", {8, 32, 65, 16}),
      Label4(this, "Label4", {64, 32, 201, 13}),
      Label5(this, "Label5", {8, 56, 65, 16}),
      Label6(this, "Label6", {64, 56, 209, 16}),
      Memo1(this, "Memo1", {8, 80, 393, 201}),
      Button1(this, "Button1", {320, 288, 81, 25}),
      Button2(this, "Button2", {40, 288, 81, 25}) {
  SetCaption("Form2");
  SetVisible(false);
  for (ui::Control* c : {static_cast<ui::Control*>(this), static_cast<ui::Control*>(&Label1),
                         static_cast<ui::Control*>(&Label2), static_cast<ui::Control*>(&Label3),
                         static_cast<ui::Control*>(&Label4), static_cast<ui::Control*>(&Label5),
                         static_cast<ui::Control*>(&Label6), static_cast<ui::Control*>(&Button1),
                         static_cast<ui::Control*>(&Button2)}) {
    c->SetFont({"MS Sans Serif", kWindowFont});
  }
  Memo1.SetFont({"MS Sans Serif", 13});
  Label1.SetCaption("Result:");
  Label2.SetCaption("Label2");
  Label3.SetCaption("Start Time:");
  Label4.SetCaption("Label4");
  Label5.SetCaption("End Time:");
  Label6.SetCaption("Label6");
  Memo1.Append("Memo1");
  Button1.SetCaption("Close");
  Button1.onClick = [this] { Button1Click(); };
  Button2.SetCaption("Send");
  Button2.SetVisible(false);  // never shown, no handler
  Form2 = this;
}

TForm2::~TForm2() {
  if (Form2 == this) Form2 = nullptr;
}

void TForm2::ShowResultLines(const std::vector<std::string>& lines) {
  Memo1.Clear();
  for (const std::string& line : lines) Memo1.Append(line);
}

void TForm2::Button1Click() {
  ui::TheToolkit().CloseModal(*this);
}
