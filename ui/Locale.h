// What the user's locale and desktop say about dates, region and colours.
#pragma once

#include <QLocale>
#include <QPalette>

#include <string>
#include <vector>

namespace ui {

class LocaleData {
public:
    explicit LocaleData(const QLocale& locale = QLocale::system());

    // Abbreviated name of month 1 to 12 (as written on its own).
    std::string MonthName(int month) const;
    // Abbreviated name of a weekday, 0 = Sunday ... 6 = Saturday.
    std::string WeekdayName(int day) const;
    // First day of the week, 0 = Monday ... 6 = Sunday.
    int FirstDayOfWeek() const;
    // Two-letter code of the locale's region; empty when the locale names none.
    std::string CountryCode() const;
    // ISO 4217 code of the region's currency; empty when unknown.
    std::string CurrencyCode() const;
    // The desktop's accent (highlight) colour as "R,G,B" in decimal.
    static std::string AccentColor(const QPalette& palette);

private:
    QLocale locale_;
};

}  // namespace ui
