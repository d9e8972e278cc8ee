// The result dialog TForm2: result word, start and end times, and the result memo (ResultLines).
#pragma once

#include <string>
#include <vector>

#include "ui/Controls.h"

class TForm2 : public ui::Form {
 public:
  TForm2();
  ~TForm2() override;
  void Button1Click();
  // Memo1 shows a run's result lines (ResultLines), replacing what it held.
  void ShowResultLines(const std::vector<std::string>& lines);

  ui::Label Label1;
  ui::Label Label2;
  ui::Label Label3;
  ui::Label Label4;
  ui::Label Label5;
  ui::Label Label6;
  ui::Memo Memo1;
  ui::Button Button1;
  ui::Button Button2;
};

// Process-wide: the one result dialog, created at program start and shown after every run.
extern TForm2* Form2;
