// The page-break script of the printable pages. The page writes one row group at a time and calls
// it after each: a group that runs past the page limit closes the page and continues on a new one
// with the column head repeated. After loading it stamps the page numbers and the product line.
#include "core/Core.h"

namespace {

// Bottom of the last table, in CSS pixels, past which a page is full.
#define TAVRIN_PAGE_LIMIT "1040"

// The row group just written moves to a new page (body shared by the document and the reports).
#define TAVRIN_NEW_PAGE_BODY                                                                             \
    "{var tables=document.getElementsByTagName('table');var table=tables[tables.length-1];"            \
    "var bodies=table.getElementsByTagName('tbody');var body=bodies[bodies.length-1];"                  \
    "if(table.offsetTop+table.offsetHeight>" TAVRIN_PAGE_LIMIT "){"                                     \
    "document.write(\"</table></div><div class='page' align='left'><table><thead><td "                  \
    "style='padding-top:1cm;'></td></thead><thead class='header'>\"+table_header+\"</thead>\");"       \
    "tables=document.getElementsByTagName('table');tables[tables.length-1].innerHTML+=body.outerHTML;" \
    "body.style.display='none';}}"

}  // namespace

const std::string pagination_script =
    "<script>"
    "function addNewPageIfNecessary(table_header)" TAVRIN_NEW_PAGE_BODY
    "function addNewSummaryPageIfNecessary(){var tables=document.getElementsByTagName('table');"
    "var table=tables[tables.length-1];var heads=table.getElementsByTagName('thead');"
    "var head=heads[heads.length-1];var bodies=table.getElementsByTagName('tbody');"
    "var body=bodies[bodies.length-1];"
    "if(table.offsetTop+table.offsetHeight>" TAVRIN_PAGE_LIMIT "){"
    "document.write(\"</tbody></table></div><div class='page' align='left'><table><thead><td "
    "style='padding-top:1cm;'></td></thead>\");"
    "tables=document.getElementsByTagName('table');"
    "tables[tables.length-1].innerHTML+=head.outerHTML+body.outerHTML;"
    "head.style.display='none';body.style.display='none';}}"
    "function addNewReportPageIfNecessary(table_header)" TAVRIN_NEW_PAGE_BODY
    "function setPageNumbers(scrollX,scrollY,tavrin){var divs=document.getElementsByTagName('div');"
    "var pages=[];for(var i=0;i<divs.length;i++){if(divs[i].className=='page')pages.push(divs[i]);}"
    "var pageCount=pages.length;for(var page=1;page<=pageCount;page++){pages[page-1].innerHTML+="
    "\"<span style='position:absolute;bottom:18px;margin-left:30px;color:#bbb;font-size:15;'>\"+tavrin+"
    "\"</span><div align='center' style='width:100%;'><div style='position:absolute;width:100%;"
    "bottom:18px;font-size:15'>\"+page+\" / \"+pageCount+\"</div></div>\";}"
    "if(scrollX>=0&&scrollY>=0)window.scrollTo(scrollX,scrollY);}"
    "</script>";

#undef TAVRIN_NEW_PAGE_BODY
#undef TAVRIN_PAGE_LIMIT
