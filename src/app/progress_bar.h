// ProgressBarControl: a progress bar whose minimum, maximum and value are
// single-precision numbers, as the conversion run sets them (33.333336 after
// the first of three files). The bar draws the value on a fine integer scale.
//
// Errors: a minimum not below the maximum, or a value outside them, raises the
// invalid-property-value error 380 and changes nothing.
#pragma once

#include <QProgressBar>

namespace qm::app {

class ProgressBarControl : public QProgressBar {
    Q_OBJECT
  public:
    explicit ProgressBarControl(QWidget* parent = nullptr);

    float Min() const { return min_; }
    float Max() const { return max_; }
    float Value() const { return value_; }
    void SetMin(float min);  // a value below the new minimum moves up to it
    void SetMax(float max);  // a value above the new maximum moves down to it
    void SetValue(float value);
    // Sets Value at once (with SetValue's check) but draws it only at
    // ShowValue, or else at the next event processing: a run sets it
    // thousands of times a second and the window repaints about 30.
    void SetValueLater(float value);
    void ShowValue();

  private:
    void redraw();

    float min_ = 0.0f;
    float max_ = 100.0f;
    float value_ = 0.0f;
    bool drawLater_ = false;  // value_ is not drawn yet
};

}  // namespace qm::app
