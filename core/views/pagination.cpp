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
//
// The editor's preview changes a shown page in place (updatePreviewPages): the changed row groups,
// the header block and the summary are swapped, and the pages are filled again from the first one
// that can have changed, with the same page filling, until a page starts with the same unchanged
// group as before: from there on the pages are as they were.
#include "core/Core.h"

const std::string pagination_script = R"JS(<script>(function(){
var LIMIT=1040;
var pending=[];
var groups=[];
var summary=null;
var headsBottom=null;
var usualHeight=40;
var measured=null;
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
function heightOf(body){return body.tavrinHeight===undefined?usualHeight:body.tavrinHeight;}
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
  body.tavrinHead=head;
  pending.push({table:table,body:body});groups.push(body);
}
// Groups from k on are appended while their known heights fit below `base`; gives the last one.
function estimated(table,bodies,k,base){
  var j=k,estimate=base+heightOf(bodies[k]);table.appendChild(bodies[k]);
  while(j+1<bodies.length){j++;table.appendChild(bodies[j]);estimate+=heightOf(bodies[j]);if(estimate>LIMIT-2)break;}
  return j;
}
// Groups k..j are in the table, those up to `fits` known to fit, a break possible from `from` on.
// Gives the group that starts the next page (taken out of the table), or the count when all fit.
function fill(table,bodies,k,j,from,fits){
  var n=bodies.length,step=1;
  for(;;){
    var b=bottom(table);
    if(measured){var m=measured;measured=null;m();}
    if(b>LIMIT&&j>=from){
      var i=Math.max(from,fits+1);
      while(i<j&&groupBottom(table,bodies[i])<=LIMIT-2)i++;
      if(i<j){for(var m=j;m>i;m--)table.removeChild(bodies[m]);j=i;step=1;continue;}
      table.removeChild(bodies[j]);
      return j;
    }
    fits=j;
    if(j==n-1)return n;
    var upto=Math.min(n-1,j+step);
    for(var a=j+1;a<=upto;a++)table.appendChild(bodies[a]);
    j=upto;step*=2;
  }
}
// Fills the table's page and the pages after it; `stop` may end the filling at a page start.
function flow(table,bodies,k,j,from,fits,stop){
  for(;;){
    var next=fill(table,bodies,k,j,from,fits);
    if(next>=bodies.length||(stop&&stop(next)))return table;
    table=newPage(table,bodies[next].tavrinHead);
    if(headsBottom===null)headsBottom=bottom(table);
    k=next;j=estimated(table,bodies,k,headsBottom);from=k+1;fits=k;
  }
}
function paginate(source,list){
  var table=current(source),start=table;
  var bodies=list.map(function(g){return g.body;});
  var trailing=[];
  for(var node=bodies[bodies.length-1].nextSibling;node;node=node.nextSibling)trailing.push(node);
  trailing.forEach(function(node){node.parentNode.removeChild(node);});
  if(table!==source)bodies.forEach(function(body){table.appendChild(body);});
  // All groups measured at once in one table: the estimates of every later page.
  bottom(table);
  var total=0;
  bodies.forEach(function(body){body.tavrinHeight=body.getBoundingClientRect().height;total+=body.tavrinHeight;});
  usualHeight=total/bodies.length;
  table=flow(table,bodies,0,bodies.length-1,0,-1,null);
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
// The summary at the end of the table, or with its own head on a page of its own when it does not fit.
function placeSummary(table,head,body){
  table.appendChild(head);table.appendChild(body);
  if(bottom(table)>LIMIT){var next=newPage(table,null);next.appendChild(head);next.appendChild(body);}
}
function pageList(){
  var divs=document.getElementsByTagName('div'),pages=[];
  for(var i=0;i<divs.length;i++){if(divs[i].className=='page')pages.push(divs[i]);}
  return pages;
}
// The first page's lines table: the one that opens with the column head.
function linesTable(page){
  for(var c=page.firstElementChild;c;c=c.nextElementSibling)
    if(c.nodeName=='TABLE'&&c.tHead&&c.tHead.className=='header')return c;
  return null;
}
function parsed(html){var t=document.createElement('template');t.innerHTML='<table>'+html+'</table>';return t.content.firstChild;}
window.addNewPageIfNecessary=note;
window.addNewReportPageIfNecessary=note;
window.addNewSummaryPageIfNecessary=function(){
  var source=scriptTable();flush();
  var table=current(source);if(!table)return;
  var head=lastOf(table,'thead'),body=lastOf(table,'tbody');
  summary={head:head,body:body};
  if(bottom(table)>LIMIT){var next=newPage(table,null);next.appendChild(head);next.appendChild(body);}
};
// Each stamp is kept with its page, so that a changed preview restamps only the pages whose stamp changed.
function stamp(div,text){
  div.insertAdjacentHTML('beforeend',text);
  div.tavrinStamps=(div.tavrinStamps||[]).concat([div.lastChild.previousSibling,div.lastChild]);div.tavrinStamp=text;
}
function stampText(tavrin,page,pageCount){
  return "<span style='position:absolute;bottom:18px;margin-left:30px;color:#bbb;font-size:15;'>"+tavrin+
    "</span><div align='center' style='width:100%;'><div style='position:absolute;width:100%;bottom:18px;font-size:15'>"+
    page+" / "+pageCount+"</div></div>";
}
window.setPageNumbers=function(scrollX,scrollY,tavrin){
  flush();
  var pages=pageList();
  var pageCount=pages.length;
  for(var page=1;page<=pageCount;page++)stamp(pages[page-1],stampText(tavrin,page,pageCount));
  if(scrollX>=0&&scrollY>=0)window.scrollTo(scrollX,scrollY);
};
// u: from and to (the shown page's mark before and after), first (the first changed line), keep (for
// each line from `first` until the unchanged last `suffix` lines: an earlier line's index, or -1-m for
// the m-th group of `rows`), rows, suffix, header (null when unchanged), summary, head and stamp.
window.updatePreviewPages=function(u){
  if(document.previewShown!==u.from)return false;
  flush();
  var page0=document.getElementsByClassName('page')[0],lines0=page0?linesTable(page0):null;
  if(!lines0||!summary)return false;
  var holder=page0.parentNode;
  var old=groups,made=u.rows?Array.prototype.slice.call(parsed(u.rows).tBodies):[];
  made.forEach(function(body){body.tavrinHead=u.head;});
  var middle=u.keep.map(function(x){return x>=0?old[x]:made[-1-x];});
  var lines=old.slice(0,u.first).concat(middle,old.slice(old.length-u.suffix));
  var n=lines.length,changed=u.keep.length>0||old.length!=n;
  var redo=u.header!==null||u.first==0?lines0:old[u.first-1].parentNode,k=0;
  if(redo!==lines0){k=u.first-1;while(k>0&&old[k-1].parentNode===redo)k--;}
  // The page's unchanged groups before the first change stay; the filling starts below them, where
  // the page as still shown says.
  var stay=k,base=null;
  if(u.header===null&&u.first>k){stay=u.first;base=groupBottom(redo,old[stay-1]);}
  else if(u.header===null&&k<old.length&&old[k].parentNode===redo)
    base=redo.offsetTop+old[k].getBoundingClientRect().top-redo.getBoundingClientRect().top;
  // Where each later group stood, and which groups opened a page.
  var restartPage=redo.parentNode,later=[],starts=new Set();
  for(var pg=restartPage.nextSibling;pg;pg=pg.nextSibling)if(pg.className=='page')later.push(pg);
  for(var i=k;i<old.length;i++){old[i].tavrinTable=old[i].parentNode;if(i>0&&old[i-1].parentNode!==old[i].parentNode)starts.add(old[i]);}
  var kept=new Set(middle);
  for(i=u.first;i<old.length-u.suffix;i++)if(!kept.has(old[i])&&old[i].parentNode)old[i].parentNode.removeChild(old[i]);
  for(i=u.first;i<n;i++){if(lines[i]===old[i])continue;
    var row=lines[i].rows[0],click=row&&row.getAttribute('onclick');
    if(click)row.setAttribute('onclick',click.replace(/\(\d+\)/,'('+i+')'));}
  // A summary that stays with the last, unchanged line is replaced where it is and measured while
  // the filling lays the page out anyway.
  var table=summary.head.parentNode,last=old[old.length-1],early=null,converged=false;
  var inPlace=table&&table!==redo&&u.suffix>0&&last.parentNode===table;
  var parts=parsed(u.summary),fresh={head:parts.tHead,body:parts.tBodies[0]};
  if(inPlace){
    var f=old.length-1;while(f>0&&old[f-1].parentNode===table)f--;
    var lastFirst=old[f],lastTable=table;
    table.replaceChild(fresh.head,summary.head);table.replaceChild(fresh.body,summary.body);
    measured=function(){if(lastFirst.parentNode===lastTable)early=bottom(lastTable);};
  }else{
    if(summary.head.parentNode)summary.head.parentNode.removeChild(summary.head);
    if(summary.body.parentNode)summary.body.parentNode.removeChild(summary.body);
  }
  summary=fresh;
  if(u.header!==null){
    while(page0.firstChild!==lines0)page0.removeChild(page0.firstChild);
    var range=document.createRange();range.selectNodeContents(page0);
    page0.insertBefore(range.createContextualFragment(u.header),lines0);
  }
  var flowed=(changed||u.header!==null)&&n>0;
  if(flowed){
    for(i=stay;i<n;i++)if(lines[i].parentNode===redo)redo.removeChild(lines[i]);
    var j=stay<n?estimated(redo,lines,stay,base===null?bottom(redo):base):n-1,first=redo===lines0;
    // A page that starts with the same unchanged group as before stays as it was, with all after it.
    // The groups the filling took out of those pages go back to the front of their tables.
    flow(redo,lines,k,j,first?0:k+1,first?-1:k,function(next){
      if(next<n-u.suffix||!starts.has(lines[next]))return false;
      var end=next;while(end<n&&!lines[end].parentNode)end++;
      for(var x=end-1;x>=next;x--){var home=lines[x].tavrinTable,after=lines[x+1];
        home.insertBefore(lines[x],x+1<n&&after.parentNode===home?after:summary.head.parentNode===home?summary.head:null);}
      converged=true;
      return true;
    });
  }
  measured=null;
  if(inPlace&&!flowed)early=bottom(lastTable);
  if(inPlace&&early!==null&&(!flowed||converged)){
    if(early>LIMIT){var next=newPage(lastTable,null);next.appendChild(summary.head);next.appendChild(summary.body);}
  }else{
    if(summary.head.parentNode)summary.head.parentNode.removeChild(summary.head);
    if(summary.body.parentNode)summary.body.parentNode.removeChild(summary.body);
    placeSummary(n?lines[n-1].parentNode:lines0,summary.head,summary.body);
  }
  later.forEach(function(page){if(!page.getElementsByTagName('tbody').length)page.parentNode.removeChild(page);});
  groups=lines;
  var pages=Array.prototype.filter.call(holder.children,function(c){return c.className=='page';});
  for(i=0;i<pages.length;i++){var text=stampText(u.stamp,i+1,pages.length);
    if(pages[i].tavrinStamp===text&&pages[i].tavrinStamps.length==2)continue;
    (pages[i].tavrinStamps||[]).forEach(function(node){if(node.parentNode)node.parentNode.removeChild(node);});
    pages[i].tavrinStamps=[];stamp(pages[i],text);}
  document.previewShown=u.to;
  return true;
};
document.addEventListener('DOMContentLoaded',flush);
})();</script>)JS";
