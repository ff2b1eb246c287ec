#include "ui/Locale.h"
#include "ui/Controls.h"

#include <QColor>

namespace ui {

LocaleData::LocaleData(const QLocale& locale) : locale_(locale) {}

std::string LocaleData::MonthName(int month) const {
    return utf8(locale_.standaloneMonthName(month, QLocale::ShortFormat));
}

std::string LocaleData::WeekdayName(int day) const {
    return utf8(locale_.dayName(day == 0 ? 7 : day, QLocale::ShortFormat));
}

int LocaleData::FirstDayOfWeek() const {
    return static_cast<int>(locale_.firstDayOfWeek()) - 1;
}

std::string LocaleData::CountryCode() const {
    if (locale_.territory() == QLocale::AnyTerritory) return std::string();
    return utf8(QLocale::territoryToCode(locale_.territory()));
}

std::string LocaleData::CurrencyCode() const {
    return utf8(locale_.currencySymbol(QLocale::CurrencyIsoCode));
}

std::string LocaleData::AccentColor(const QPalette& palette) {
    const QColor colour = palette.color(QPalette::Active, QPalette::Highlight);
    return std::to_string(colour.red()) + "," + std::to_string(colour.green()) + "," + std::to_string(colour.blue());
}

}  // namespace ui
