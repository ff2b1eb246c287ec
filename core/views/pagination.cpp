// The page-break script of the printable pages. The page calls it after each row group: a group
// whose table then runs past the page limit closes the page and continues on a new one with the
// column head repeated. After loading it stamps the page numbers and the product line.
//
// Measuring the table after every group forced a layout per line, so the calls only note the
// group; the breaks are worked out in one pass once the rows are written (before the summary,
// when the page has loaded, or before the page numbers). The pass gives the breaks the per-group
// check gave: the rows are measured once with the whole rest of the document in one table (a
// table never gets shorter when rows are added, so those heights are upper bounds), a page is
// filled up to the first group that may not fit, and the real table is checked there: the first
// group past the limit starts the next page, as before. A page costs one or two layouts.
#include "core/Core.h"

const std::string pagination_script = R"JS(<script>(function(){
var LIMIT=1040;
var pending=[];
var headsBottom=null;
function tableOf(node){while(node&&node.nodeName!='TABLE')node=node.parentNode;return node;}
function current(table){while(table&&table.tavrinNext)table=table.tavrinNext;return table;}
function scriptTable(){
  var script=document.currentScript;var table=script?tableOf(script.parentNode):null;
  if(!table){var tables=document.getElementsByTagName('table');table=tables[tables.length-1];}
  return table;
}
function lastOf(table,tag){var list=table.getElementsByTagName(tag);return list[list.length-1];}
function bottom(table){return table.offsetTop+table.offsetHeight;}
function groupBottom(table,body){return table.offsetTop+body.getBoundingClientRect().bottom-table.getBoundingClientRect().top;}
function newPage(table,head){
  var holder=table.parentNode;var page=document.createElement('div');
  page.className='page';page.setAttribute('align','left');
  page.innerHTML="<table><thead><td style='padding-top:1cm;'></td></thead>"+(head===null?"":"<thead class='header'>"+head+"</thead>")+"</table>";
  holder.parentNode.insertBefore(page,holder.nextSibling);
  return page.firstChild;
}
function note(head){
  var table=scriptTable();if(!table)return;
  var body=lastOf(table,'tbody');if(!body)return;
  if(pending.length&&pending[pending.length-1].body===body)return;
  pending.push({table:table,body:body,head:head});
}
function paginate(source,groups){
  var table=current(source),start=table;
  var bodies=groups.map(function(g){return g.body;});
  var trailing=[];
  for(var node=bodies[bodies.length-1].nextSibling;node;node=node.nextSibling)trailing.push(node);
  trailing.forEach(function(node){node.parentNode.removeChild(node);});
  if(table!==source)bodies.forEach(function(body){table.appendChild(body);});
  // Groups k..j are in the table; those up to `fits` are known to fit; checks start at `from`.
  var n=bodies.length,k=0,from=0,fits=-1,j=n-1,step=1,heights=null;
  for(;;){
    var b=bottom(table);
    if(!heights)heights=bodies.map(function(body){return body.getBoundingClientRect().height;});
    if(b>LIMIT&&j>=from){
      var i=Math.max(from,fits+1);
      while(i<j&&groupBottom(table,bodies[i])<=LIMIT-2)i++;
      if(i<j){for(var m=j;m>i;m--)table.removeChild(bodies[m]);j=i;step=1;continue;}
      table=newPage(table,groups[j].head);
      if(headsBottom===null)headsBottom=bottom(table);
      k=j;from=k+1;fits=k;
      var estimate=headsBottom+heights[k];
      while(j+1<n){j++;estimate+=heights[j];if(estimate>LIMIT-2)break;}
      for(var g=k;g<=j;g++)table.appendChild(bodies[g]);
      step=1;
      continue;
    }
    fits=j;
    if(j==n-1)break;
    var upto=Math.min(n-1,j+step);
    for(var a=j+1;a<=upto;a++)table.appendChild(bodies[a]);
    j=upto;step*=2;
  }
  trailing.forEach(function(node){table.appendChild(node);});
  if(table!==start)start.tavrinNext=table;
}
function flush(){
  while(pending.length){
    var source=pending[0].table,n=1;
    while(n<pending.length&&pending[n].table===source)n++;
    paginate(source,pending.splice(0,n));
  }
}
window.addNewPageIfNecessary=note;
window.addNewReportPageIfNecessary=note;
window.addNewSummaryPageIfNecessary=function(){
  var source=scriptTable();flush();
  var table=current(source);if(!table)return;
  var head=lastOf(table,'thead'),body=lastOf(table,'tbody');
  if(bottom(table)>LIMIT){var next=newPage(table,null);next.appendChild(head);next.appendChild(body);}
};
window.setPageNumbers=function(scrollX,scrollY,tavrin){
  flush();
  var divs=document.getElementsByTagName('div');var pages=[];
  for(var i=0;i<divs.length;i++){if(divs[i].className=='page')pages.push(divs[i]);}
  var pageCount=pages.length;
  for(var page=1;page<=pageCount;page++){pages[page-1].insertAdjacentHTML('beforeend',
    "<span style='position:absolute;bottom:18px;margin-left:30px;color:#bbb;font-size:15;'>"+tavrin+
    "</span><div align='center' style='width:100%;'><div style='position:absolute;width:100%;bottom:18px;font-size:15'>"+
    page+" / "+pageCount+"</div></div>");}
  if(scrollX>=0&&scrollY>=0)window.scrollTo(scrollX,scrollY);
};
document.addEventListener('DOMContentLoaded',flush);
})();</script>)JS";
