// The English and Hungarian user-interface texts and their look-up.
#include "core/Core.h"

#include <cstddef>
#include <string>

namespace {

// The maker's web site; the help and converter pages named in the texts live below it.
#define TAVRIN_MAKER_SITE "https://tavrin.hu"
#define TAVRIN_HELP_PAGE TAVRIN_MAKER_SITE "/help/sign-in"
#define TAVRIN_CONVERTER_PAGE TAVRIN_MAKER_SITE "/convert"

struct Text {
    const char* key;
    const char* en;
    const char* hu;
};

const char* const kImportClientsEn =
    "CSV file columns:\n1.\tName\n2.\tIdentifier Number\n3.\tCountry Code (ISO 3166-2)\n4.\tState\n5.\tCity\n"
    "6.\tStreet\n7.\tPostal Code\n8.\tEmail\n9.\tPhone\n10.\tNote\n\n"
    "The following conditions are required for a successful save:\n"
    "• CSV file format, UTF-8 character encoding\n"
    "• A separator character ( ; ) Semicolon\n"
    "• Client with the same name has not been saved yet\n"
    "• Exactly 10 columns in the specified order\n"
    "• The country code is listed in Settings > Countries";

const char* const kImportClientsHu =
    "CSV fájl oszlopai:\n1.\tNév\n2.\tAdószám (magánszemély ha nem 13 karakter hosszú)\n"
    "3.\tOrszágkód (ISO 3166-2)\n4.\tÁllam\n5.\tVáros\n6.\tUtca\n7.\tIrányítószám\n8.\tEmail\n9.\tTelefon\n"
    "10.\tMegjegyzés\n\n"
    "A sikeres mentéshez a következő feltételek szükségesek:\n"
    "• CSV fájlformátum, UTF-8 karakterkódolás\n"
    "• Elválasztó karakter ( ; ) pontosvessző\n"
    "• Azonos nevű partner még nem lett mentve\n"
    "• Pontosan 10 oszlop a megadott sorrendben\n"
    "• Az országkód szerepel a Beállítások > Országok listában";

const char* const kImportItemsEn =
    "CSV file columns:\n1.\tName\n2.\tDescription\n3.\tSKU\n4.\tUPC\n5.\tNet Unit Price\n6.\tTax/VAT Name\n"
    "7.\tUnit Name\n8.\tNote\n\n"
    "The following conditions are required for a successful save:\n"
    "• CSV file format, UTF-8 character encoding\n"
    "• A separator character ( ; ) Semicolon\n"
    "• Item with the same name has not been saved yet\n"
    "• Exactly 8 columns in the specified order\n"
    "• The Tax/VAT name is listed in Settings > Taxes\n"
    "• The Unit name is listed in Settings > Units";

const char* const kImportItemsHu =
    "CSV fájl oszlopai:\n1.\tNév\n2.\tLeírás\n3.\tSKU\n4.\tUPC\n5.\tNettó egységár\n6.\tÁFA neve\n"
    "7.\tMennyiségi egység neve\n8.\tMegjegyzés\n\n"
    "A sikeres mentéshez a következő feltételek szükségesek:\n"
    "• CSV fájlformátum, UTF-8 karakterkódolás\n"
    "• Elválasztó karakter ( ; ) pontosvessző\n"
    "• Azonos nevű termék még nem lett mentve\n"
    "• Pontosan 8 oszlop a megadott sorrendben\n"
    "• Az ÁFA neve szerepel a Beállítások > ÁFA kulcsok listában\n"
    "• A mennyiségi egység neve szerepel a Beállítások > Mennyiségi egységek listában";

const char* const kImportInvoicesHu =
    "1. A régi számlázó programból exportálja ki a számlákat az \"Adóhatósági ellenőrzési adatszolgáltatás\" "
    "menüből.\n\n"
    "2. Nyomja meg a \"Konvertálás\" gombot, majd a " TAVRIN_CONVERTER_PAGE
    " oldalon konvertálja át az exportált adatokat.\n\n"
    "3. Válassza ki mit szeretne importálni.\n\n"
    "4. Nyomja meg az Importálás gombot és válassza ki a TavrinArchivumImport.tavrinimport fájlt.";

const char* const kFormatsDateInfoEn =
    "\"YY\" The year, from 00 to 99.\n\"YYYY\" The year as a four-digit number.\n"
    "\"M\" The month, from 1 through 12.\n\"MM\" The month, from 01 through 12.\n"
    "\"MMM\" The month short name.\n\"D\" The day of the month, from 1 through 31.\n"
    "\"DD\" The day of the month, from 01 through 31.";

const char* const kFormatsDateInfoHu =
    "\"YY\" Az év 00-tól 99-ig.\n\"YYYY\" Az évszám négyjegyű számként.\n\"M\" A hónap 1-től 12-ig.\n"
    "\"MM\" A hónap 01-től 12-ig.\n\"MMM\" A hónap rövid neve.\n\"D\" A hónap napja 1-től 31-ig.\n"
    "\"DD\" A hónap napja 01-től 31-ig.";

// Every key with its English and Hungarian text. Both tables are made from this one list, so they
// always hold the same keys.
const Text kTexts[] = {
    // Onboarding pages
    {"ONBOARDING_TITLE", "Tavrin Invoice\nwith Extras", "Tavrin Számlázó\nextrákkal"},
    {"ONBOARDING_TITLE_1", "Task Manager", "Archívum, régi számlák importálása"},
    {"ONBOARDING_TITLE_2", "Inventory management", "Feladatkezelő, teendők"},
    {"ONBOARDING_TITLE_3", "Webshop connection", "Készletkezelő"},
    {"ONBOARDING_TITLE_4", "DEMO account", "Webshop csatlakozás"},
    {"ONBOARDING_TITLE_5", "User Guide", "DEMO fiók"},
    {"ONBOARDING_DETAIL_1",
     "Add one-day or periodic tasks, then create an invoice from the completed tasks in seconds.",
     "Magyarországon először, egyedülálló módon importálja be korábbi számláit bármelyik számlázó programból!"},
    {"ONBOARDING_DETAIL_2",
     "Track and change the exact evolution of your inventory at any time by calculating FIFO, LIFO, average, or "
     "clearing price benefits.",
     "Vegyen fel egy napos vagy időszakos teendőket, majd készítsen számlát pillanatok alatt az elkészült "
     "feladatokból."},
    {"ONBOARDING_DETAIL_3",
     "You can retrieve orders from your web store in a matter of seconds and conveniently create an invoice.",
     "Kövesse készlete pontos alakulását bármikor változtatható FIFO, LIFO, átlagolt vagy elszámoló ár haszon "
     "számítással."},
    {"ONBOARDING_DETAIL_4",
     "Try out all the features in your free DEMO account and discover the Tavrin Invoice premium experience.",
     "Pillanatok alatt lekérheti webáruházából a rendeléseket és kényelmesen készíthet számlát."},
    {"ONBOARDING_DETAIL_5",
     "Get to know the User Guide, so Tavrin Invoice can help you with your work even more.",
     "Próbálja ki az ingyenes DEMÓ fiókban az összes funkciót és fedezze fel a Tavrin Számlázó prémium élményét."},
    {"ONBOARDING_IMAGE_1", "Sidebar_TASK", "Sidebar_ARCHIVE_INVOICE"},
    {"ONBOARDING_IMAGE_2", "Sidebar_inventory", "Sidebar_TASK"},
    {"ONBOARDING_IMAGE_3", "Sidebar_WEBSHOP_ORDER", "Sidebar_inventory"},
    {"ONBOARDING_IMAGE_4", "Sidebar_Account", "Sidebar_WEBSHOP_ORDER"},
    {"ONBOARDING_IMAGE_5", "Help", "Sidebar_Account"},

    // Document types
    {"INVOICE", "Invoice", "Számla"},
    {"ARCHIVE_INVOICE", "Archive Invoice", "Archívált számla"},
    {"PROFORMA", "Proforma", "Díjbekérő"},
    {"ESTIMATE", "Estimate", "Árajánlat"},
    {"DELIVERY_NOTE", "Delivery Note", "Szállítólevél"},
    {"PURCHASE_ORDER", "Purchase Order", "Megrendelés"},
    {"PURCHASE_RECEIVE", "Purchase Receive", "Bevételezés"},
    {"DRAFT", "Draft", "Piszkozat"},
    {"TASK", "Task", "Feladat"},

    // Lists and sections
    {"invoices", "Invoices", "Számlák"},
    {"archive_invoices", "Archive Invoices", "Archivált számlák"},
    {"estimates", "Estimates", "Árajánlatok"},
    {"proformas", "Proformas", "Díjbekérők"},
    {"delivery_notes", "Delivery Notes", "Szállítólevelek"},
    {"purchase_orders", "Purchase Orders", "Megrendelések"},
    {"purchase_receives", "Purchase Receives", "Bevételezések"},
    {"drafts", "Drafts", "Piszkozatok"},
    {"tasks", "Tasks", "Feladatok"},
    {"inventory", "Inventory", "Raktár"},
    {"webshop", "Webshop Orders", "Webshop rendelések"},
    {"client", "Client", "Partner"},
    {"clients", "Clients", "Partnerek"},
    {"item", "Item", "Termék"},
    {"items", "Items", "Termékek"},
    {"archivum", "", "Archívum"},
    {"settings", "Settings", "Beállítások"},
    {"accounts", "Accounts", "Fiókok"},
    {"account", "Account", "Fiók"},
    {"1_account", "1. Account", "1. fiók"},
    {"my_company", "My Company", "Saját cégem"},
    {"report", "Report", "Kimutatás"},
    {"report_inventory", "Inventory list", "Készletlista"},

    // Stored code values
    {"PRODUCT", "Product", "Termék"},
    {"SERVICE", "Service", "Szolgáltatás"},
    {"INVENTORY_TRACKING", "Inventory Tracking", "Készletkövetés"},
    {"VENDOR", "Vendor", "Beszállító"},
    {"CUSTOMER", "Customer", "Vevő"},
    {"DOMESTIC", "Domestic", "Magyar adóalany"},
    {"COMMUNITY", "Community", "EU közösségi adóalany"},
    {"THIRD_STATE", "Third State", "Harmadik országbeli adóalany"},
    {"PRIVATE_PERSON", "Private Person", "Magánszemély"},
    {"NET", "Net", "Nettó"},
    {"GROSS", "Gross", "Bruttó"},
    {"RECEIVE", "Receive", "Bevételezés"},
    {"STORNO", "Storno", "Sztornó"},
    {"ADD", "Add", "Hozzáadás"},
    {"REMOVE", "Remove", "Kiadás"},
    {"RETURN", "Return", "Visszáru"},
    {"DAMAGE", "Damage", "Sérült"},
    {"LOSS", "Loss", "Elveszett"},

    // Commands and common words
    {"save", "Save", "Mentés"},
    {"cancel", "Cancel", "Mégse"},
    {"delete", "Delete", "Törlés"},
    {"edit", "Edit", "Szerkesztés"},
    {"duplicate", "Duplicate", "Másolat készítése"},
    {"storno", "Storno", "Sztornó"},
    {"discard", "Discard", "Elvetés"},
    {"preview", "Preview", "Előnézet"},
    {"import", "Import", "Importálás"},
    {"convert", "", "Konvertálás"},
    {"filter", "Filter", "Szűrés"},
    {"repeat", "Repeat", "Ismétlés"},
    {"ok", "OK", "OK"},
    {"order", "Order", "Rendelés"},
    {"key", "Key", "Kulcs"},
    {"custom", "Custom", "Egyéni"},
    {"anonymous", "Anonymous", "Névtelen"},
    {"empty", "Empty", "Üres"},
    {"deleted", "Deleted", "Törölve"},
    {"status", "Status", "Státusz"},
    {"type", "Type", "Típus"},
    {"name", "Name", "Név"},
    {"note", "Note", "Megjegyzés"},
    {"date", "Date", "Dátum"},
    {"days", "Days", "Napok"},
    {"months", "Months", "Hónapok"},
    {"every", "every", "minden"},
    {"first", "first", "első"},
    {"last", "last", "utolsó"},
    {"every_month", "every month", "minden hónap"},
    {"no_repeat", "No Repeat", "Nincs ismétlés"},
    {"language", "Language", "Nyelv"},
    {"country", "Country", "Ország"},
    {"term", "Term", "Fizetési határidő"},
    {"amount", "Amount", "Összeg"},
    {"number", "Number", "Sorszám"},
    {"unit", "Unit", "Mennyiségi egység"},
    {"reason", "Reason", "Ok"},
    {"stock", "Stock", "Készlet"},
    {"update", "Tavrin Update", "Tavrin Frissítés"},
    {"tavrin_invoice", "Tavrin Invoice", "Tavrin Számlázó"},

    // Master data fields
    {"identifier_number", "Identifier Number", "Adószám"},
    {"other", "Other ID", "Egyéb azonosító"},
    {"email", "Email", "Email"},
    {"phone", "Phone", "Telefon"},
    {"address", "Address", "Cím"},
    {"street", "Street", "Utca"},
    {"city", "City", "Város"},
    {"state", "State", "Állam"},
    {"postcode", "Postcode", "Irányítószám"},
    {"bank", "Bank", "Bank"},

    // Tax-authority data: the authority's own terms, Hungarian in both tables
    {"nav", "NAV adatszolgáltatás", "NAV adatszolgáltatás"},
    {"nav_user_id", "NAV technikai felhasználó név", "NAV technikai felhasználó név"},
    {"nav_user_pwd", "NAV technikai felhasználó jelszó", "NAV technikai felhasználó jelszó"},
    {"nav_xml_alairokulcs", "XML aláírókulcs", "XML aláírókulcs"},
    {"nav_xml_cserekulcs", "XML cserekulcs", "XML cserekulcs"},
    {"cash_accounting_indicator", "Pénzforgalmi elszámolás", "Pénzforgalmi elszámolás"},
    {"small_business_indicator", "Kisadózó", "Kisadózó"},

    // Settings sections and fields
    {"countries", "Countries", "Országok"},
    {"languages", "Languages", "Nyelvek"},
    {"currency", "Currency", "Pénznem"},
    {"currencies", "Currencies", "Pénznemek"},
    {"payment", "Payment", "Fizetési mód"},
    {"payments", "Payments", "Fizetési módok"},
    {"terms", "Terms", "Fizetési határidők"},
    {"terms_info", "The number of days can be specified anywhere in the name.",
     "A napok száma bárhol megadható a névben."},
    {"taxes", "Taxes", "ÁFA kulcsok"},
    {"units", "Units", "Mennyiségi egységek"},
    {"prefix", "Prefix", "Előtag"},
    {"number_format", "Number Format", "Sorszám formátum"},
    {"decimal_point", "Decimal Point", "Tizedesjel"},
    {"thousands_separator", "Thousands Separator", "Ezres elválasztó"},
    {"format", "Format", "Formátum"},
    {"formats", "Formats", "Formátumok"},
    {"formats_doc_info", "\"YYYY\" The year as a four-digit number.\n\"NNNN\" The auto increment document number.",
     "\"YYYY\" Az évszám négyjegyű számként.\n\"NNNN\" Automatikusan növekvő dokumentum sorszám."},
    {"formats_date_info", kFormatsDateInfoEn, kFormatsDateInfoHu},
    {"rounding", "Rounding", "Kerekítés"},
    {"line_rounding", "Line Rounding", "Sorok kerekítése"},
    {"total_rounding", "Total Rounding", "Végösszeg kerekítése"},
    {"name_in_line", "Name in Line", "Név a sorban"},
    {"summary_name", "Summary Name", "Összesítő neve"},
    {"rate", "Rate", "Adókulcs"},
    {"summary_name2", "Summary Name 2", "Összesítő neve 2"},
    {"rate2", "Rate 2", "Adókulcs 2"},
    {"compound", "Compound", "Halmozott"},
    {"not_compound", "Not Compound", "Nem halmozott"},
    {"header_notes", "Header Notes", "Fejléc megjegyzések"},
    {"line_notes", "Line Notes", "Sor megjegyzések"},
    {"footer_notes", "Footer Notes", "Lábléc megjegyzések"},
    {"header_note", "Header Note", "Fejléc megjegyzés"},
    {"footer_note", "Footer Note", "Lábléc megjegyzés"},
    {"line_note", "Line Note", "Sor megjegyzés"},
    {"logo", "Logo", "Logó"},
    {"add_logo", "Add Logo", "Logó hozzáadása"},
    {"delete_logo", "Delete Logo", "Logó törlése"},
    {"tap_to_modify", "Tap the image to change the logo.", "Logo módosításhoz koppintson a képre"},
    {"colors", "Colors", "Színek"},
    {"colors_close", "Close", "Bezárás"},
    {"accent_font_color", "Font Color", "Betűszín"},
    {"accent_background_color", "Háttérszín", "Háttérszín"},
    {"template", "Template", "Sablon"},
    {"templates", "Templates", "Sablonok"},
    {"starting_number", "Starting Number", "Kezdő sorszám"},
    {"cannot_modify", "It cannot be modified", "Nem módosítható"},
    {"webshop_connect", "Webshop Connect", "Webshop csatlakozás"},
    {"webshop_domain", "Domain", "Domain"},
    {"webshop_key1", "Consumer Key", "Fogyasztói kulcs"},
    {"webshop_key2", "Consumer Secret", "Fogyasztói titkos kulcs"},
    {"import_clients", kImportClientsEn, kImportClientsHu},
    {"import_items", kImportItemsEn, kImportItemsHu},
    {"import_invoices", "", kImportInvoicesHu},
    {"import_successful", "%s line successfully imported", "%s sor sikeresen importálva"},
    {"accounting", "Accounting", "Könyvelés"},

    // Default setting values
    {"bank_transfer", "Bank Transfer", "Átutalás"},
    {"cash", "Cash", "Készpénz"},
    {"due_on_receipt", "Due on Receipt", "Számlázás napján"},
    {"net_7", "NET 7", "7 nap"},
    {"net_30", "NET 30", "30 nap"},
    {"each", "Each", "darab"},
    {"hour", "Hour", "óra"},
    {"thank_you", "Thank you", "Köszönjük!"},
    {"prefix_invoice", "INVOICE", "SZAMLA"},
    {"prefix_proforma", "PROFORMA", "PROFORMA"},
    {"prefix_estimate", "ESTIMATE", "ARAJANLAT"},
    {"prefix_delivery_note", "DELIVERY", "SZLEV"},
    {"prefix_purchase_order", "PO", "RENDELES"},
    {"prefix_purchase_receive", "RECEIVE", "BEVETELEZES"},

    // Document labels
    {"reference", "Reference", "Hivatkozás"},
    {"supplier", "Supplier", "Szállító"},
    {"bill_to", "Bill to", "Vevő"},
    {"vendor", "Vendor", "Beszállító"},
    {"issue_date", "Issue", "Kiállítás"},
    {"delivery_date", "Delivery", "Teljesítés"},
    {"due_date", "Due", "Határidő"},
    {"from_date", "Start", "Kezdés"},
    {"to_date", "End", "Befejezés"},
    {"payment_name", "Payment", "Fizetési mód"},
    {"quantity", "Quantity", "Mennyiség"},
    {"price", "Price", "Ár"},
    {"total", "Total", "Összesen"},
    {"tax", "Tax", "ÁFA"},
    {"net", "Net", "Nettó"},
    {"gross", "Gross", "Bruttó"},
    {"description", "Description", "Leírás"},
    {"discount", "discount", "Kedvezmény"},
    {"exchange_rate", "Exchange Rate", "Árfolyam"},
    {"sku", "SKU", "SKU"},
    {"upc", "UPC", "UPC"},

    // Inventory and profit
    {"purchase", "Purchase", "Beszerzés"},
    {"sold", "Sold", "Eladott"},
    {"selling_price", "Selling Price", "Eladási ár"},
    {"purchase_price", "Purchase Price", "Beszerzési ár"},
    {"last_purchase_price", "Last Purchase Price", "Utolsó beszerzési ár"},
    {"clearing_price", "Clearing Price", "Elszámoló ár"},
    {"profit", "Profit", "Haszon"},
    {"profit_fifo", "FIFO Profit", "FIFO haszon"},
    {"profit_lifo", "LIFO Profit", "LIFO haszon"},
    {"profit_avg", "Average Cost Profit", "Átlagolt haszon"},
    {"profit_clearing", "Clearing Price Profit", "Elszámoló ár haszon"},
    {"inventory_purchase_price_header", "Purchase Price (last %s)", "Beszerzési ár (utolsó %s)"},
    {"inventory_quantity_header", "Quantity (%s)", "Mennyiség (%s)"},

    // List filters and pickers
    {"%%", "All", "Összes"},
    {"date_types", "Date Type", "Dátum típusa"},
    {"from_number", "From Number", "Kezdő sorszám"},
    {"to_number", "To Number", "Befejező sorszám"},
    {"paid", "Paid", "Kifizetett"},
    {"unpaid", "Unpaid", "Kifizetetlen"},
    {"paid_and_unpaid", "Paid and Unpaid", "Kifizetett és kifizetetlen"},
    {"overdue", "Overdue", "Lejárt számlák"},
    {"<new_client>", "<New Client>", "<Új partner>"},
    {"<new_item>", "<New Item>", "<Új termék>"},
    {"<select>", "<Select>", "<Kiválasztás>"},
    {"no_client_selected", "No Client Selected", "Nincs partner kiválasztva"},
    {"create_invoice", "Create Invoice", "Számla készítése"},
    {"kept_draft", "not issued", "nem kiállított"},
    {"create_receive", "Create Receive", "Bevételezés készítése"},

    // Document editor and messages
    {"drag_here", "Drag the client and items here, then click on the line to edit",
     "Húzza ide a partnert és a termékeket, majd kattintson a sorra a szerkesztéshez"},
    {"add_empty_line", "Add Empty Line", "Üres sor hozzáadása"},
    {"line_delete_reorder", "Delete or Reorder Lines", "Sorok törlése, átrendezése"},
    {"task_name", "Task Name", "Feladat neve"},
    {"task_in_progress", "In Progress", "Folyamatban"},
    {"task_completed", "Completed", "Elkészült"},
    {"save_client", "Save Client", "Partner mentése"},
    {"save_confirm", "Would you like to save the document?", "Szeretné menteni a dokumentumot?"},
    {"saving", "Saving in progress...", "Mentés folyamatban..."},
    {"saving_successful", "Saved successfully and synced.", "Sikeres mentés és szinkronizálás!"},
    {"saving_successful_demo", "Saved successfully.", "Sikeres mentés!"},
    {"saving_successful_offline",
     "The temporary save is successful. Failed to backup to iCloud, check if you have enough storage and use a "
     "longer sign-in.\n" TAVRIN_HELP_PAGE,
     "Az átmeneti mentés sikeres. Az iCloud mentése nem sikerült, ellenőrizze van-e elég tárhelye és használjon "
     "hosszabb időre szóló bejelentkezést.\n" TAVRIN_HELP_PAGE " - Bejelentkezés Apple ID-val"},
    {"discard_text", "Are you sure you want to discard all changes?", "Biztosan elveti az összes változtatást?"},
    {"confirm_delete",
     "\"%s\" will be deleted from iCloud on all your devices.\nYou can't undo this action. Are you sure you want "
     "to delete?",
     "\"%s\" törlődik az iCloudból minden eszközén.\nEz a művelet nem vonható vissza. Biztosan szeretné törölni?"},
    {"confirm_return", "%s\nAre you sure you want to return the item?",
     "%s\nBiztosan szeretne visszáruzni a terméket?"},
};

#undef TAVRIN_CONVERTER_PAGE
#undef TAVRIN_HELP_PAGE
#undef TAVRIN_MAKER_SITE

json11::Json language_table(const char* Text::*column) {
    json11::Json::object table;
    for (const Text& text : kTexts) table.emplace(text.key, text.*column);
    return json11::Json(std::move(table));
}

}  // namespace

void Core::fill_translations_en() { translations["en"] = language_table(&Text::en); }

void Core::fill_translations_hu() { translations["hu"] = language_table(&Text::hu); }

std::string Core::translated(std::string key, std::string arg) {
    const auto table = translations.find(language);
    if (table == translations.end()) return {};
    const json11::Json& value = table->second[key];
    if (!value.is_string()) return {};
    const std::string& text = value.string_value();
    if (arg.empty()) return text;

    // Replace every "%s" left to right; the inserted argument is never scanned again.
    std::string result;
    result.reserve(text.size() + arg.size());
    std::size_t from = 0;
    for (std::size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", from)) {
        result.append(text, from, at - from);
        result += arg;
        from = at + 2;
    }
    result.append(text, from, std::string::npos);
    return result;
}
