// The built-in console page: three tabs (console, log, settings), all inline.
// $title, $sh_psa, $token_value and $csp_nonce are filled in when it is served.
#include "libdbg/web_console_imp.h"

const char HTTP_BUILTIN_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>$title</title>
<style nonce="$csp_nonce">
:root{--bg:#10151c;--panel:#171e28;--line:#263142;--fg:#d7dee8;--dim:#8391a5;--acc:#4fb3ff;--ok:#57d38c;--warn:#f0c24b;--err:#ff6b6b;--crit:#ff4fd8;--noti:#9fd36b;--dbg:#6fc7d9}
*{box-sizing:border-box}
html,body{margin:0;height:100%;overflow:hidden;background:var(--bg);color:var(--fg);font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif}
body{display:flex;flex-direction:column}
header{flex:none;display:flex;flex-wrap:wrap;align-items:center;gap:8px 16px;padding:8px 14px;background:var(--panel);border-bottom:1px solid var(--line)}
header h1{font-size:16px;margin:0;font-weight:600;overflow-wrap:break-word;min-width:0}
nav{display:flex;gap:4px}
nav button{background:none;border:1px solid transparent;color:var(--dim);padding:6px 14px;border-radius:6px;font:inherit;cursor:pointer}
nav button:hover{color:var(--fg)}
nav button.on{color:var(--fg);border-color:var(--line);background:var(--bg)}
#state{margin-left:auto;color:var(--dim);font-size:12px}
main{flex:1;min-height:0;padding:10px 14px}
section{display:none;height:100%;flex-direction:column;gap:8px}
section.on{display:flex}
.term{flex:1;overflow:auto;margin:0;padding:10px;background:#0b0f14;border:1px solid var(--line);border-radius:6px;font:13px/1.4 ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;white-space:pre-wrap;overflow-wrap:anywhere}
.cmdline{flex:none;display:flex;align-items:center;gap:8px;padding:6px 10px;background:#0b0f14;border:1px solid var(--line);border-radius:6px;font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace}
.cmdline span{color:var(--ok)}
.cmdline input{flex:1;min-width:0;background:none;border:0;outline:0;color:var(--fg);font:inherit}
.echo{color:var(--acc)}
.fail{color:var(--err)}
.hint{color:var(--dim)}
.bar{display:flex;flex-wrap:wrap;align-items:center;gap:8px}
.bar input[type=search]{flex:1;min-width:160px;padding:6px 10px;background:#0b0f14;border:1px solid var(--line);border-radius:6px;color:var(--fg);font:inherit}
.bar label{color:var(--dim);font-size:13px;white-space:nowrap}
button.small{background:var(--panel);border:1px solid var(--line);color:var(--fg);border-radius:6px;padding:5px 10px;font:inherit;cursor:pointer}
.l-crit{color:var(--crit);font-weight:600}.l-error{color:var(--err)}.l-warning{color:var(--warn)}.l-notice{color:var(--noti)}.l-missed{color:var(--warn);font-style:italic}.l-info{color:var(--fg)}.l-debug{color:var(--dbg)}
.tablewrap{flex:1;overflow:auto;border:1px solid var(--line);border-radius:6px}
table{width:100%;border-collapse:collapse}
th,td{text-align:left;padding:6px 10px;border-bottom:1px solid var(--line);vertical-align:middle}
th{position:sticky;top:0;background:var(--panel);color:var(--dim);font-weight:500}
td.name{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;white-space:nowrap}
td input,td select{width:100%;min-width:120px;padding:4px 6px;background:#0b0f14;border:1px solid var(--line);border-radius:4px;color:var(--fg);font:inherit}
td.res{font-size:12px;min-width:90px}
.res.ok{color:var(--ok)}.res.bad{color:var(--err)}
@media (max-width:600px){header{padding:6px 8px}main{padding:6px}td input,td select{min-width:80px}th,td{padding:4px 6px}}
td.desc{color:var(--dim);font-size:12px;overflow-wrap:anywhere}
</style>
</head>
<body>
<input type="hidden" id="token" value="$token_value">
<header>
<h1>$title</h1>
<nav>
<button id="tab-console" class="on" data-tab="console">Console</button>
<button id="tab-log" data-tab="log">Log</button>
<button id="tab-settings" data-tab="settings">Settings</button>
</nav>
<div id="state"></div>
</header>
<main>
<section id="console" class="on">
<pre id="out" class="term"><span class="hint">Enter runs a command, arrow keys walk the history, Tab completes a command name; clear empties this view.</span>
</pre>
<div class="cmdline"><span id="prompt">$sh_psa</span><input id="cmd" autocomplete="off" autocapitalize="off" spellcheck="false" autofocus></div>
</section>
<section id="log">
<div class="bar">
<input type="search" id="filter" placeholder="Filter lines (text)">
<select id="level" title="Shows this level and the more severe ones"><option value="">all levels</option><option value="info">info and above</option><option value="notice">notice and above</option><option value="warning">warnings and above</option><option value="error">errors and above</option><option value="crit">crit only</option></select>
<label><input type="checkbox" id="follow" checked> follow</label>
<label><input type="checkbox" id="pause"> pause</label>
<button class="small" id="logclear">Clear</button>
<span class="hint" id="logcount"></span>
</div>
<pre id="logview" class="term"></pre>
</section>
<section id="settings">
<div class="bar"><button class="small" id="reload">Reload</button><span class="hint">A changed value is sent at once; the reply shows beside it.</span></div>
<div class="tablewrap"><table><thead><tr><th>Name</th><th>Value</th><th class="res">Result</th><th class="desc">Description</th></tr></thead><tbody id="vars"></tbody></table></div>
</section>
</main>
<script nonce="$csp_nonce">
(function(){
"use strict";
var token=document.getElementById("token").value;
// Requests go to the page's own origin: a URL with user:password in it is refused by the browser.
var ORIGIN=location.origin&&location.origin!=="null"?location.origin:location.protocol+"//"+location.host;
// This tab's own position in the log, kept by the server under this id.
var READER=Math.random().toString(36).slice(2,12)+Date.now().toString(36);
var MAXLOG=1000, HKEY="hubd.console.history", HMAX=200;
function q(id){return document.getElementById(id);}
function get(path,params,timeout){
  // challenge=0: a refused login comes back as a plain 401 rather than a login box.
  var url=ORIGIN+path+"?token="+encodeURIComponent(token)+"&challenge=0";
  for(var k in params) url+="&"+k+"="+params[k];
  var ctl=new AbortController(), timer=setTimeout(function(){ctl.abort();},timeout||10000);
  return fetch(url,{signal:ctl.signal,cache:"no-store",credentials:"same-origin"}).then(function(r){
    clearTimeout(timer);
    if(r.status===401) throw new Error("login needed");
    if(!r.ok) return r.text().then(function(t){
      var m=/<H1>([^<]*)<\/H1>/i.exec(t||"");
      throw new Error("HTTP "+r.status+(m?": "+m[1]:""));
    });
    return r.text();
  },function(e){clearTimeout(timer);throw e;});
}
function state(text){q("state").textContent=text;}
function failed(e){return e&&e.message==="login needed"?"login needed":e&&/^HTTP /.test(e.message)?e.message:"offline";}
/* tabs */
var tabs=document.querySelectorAll("nav button");
function show(name){
  for(var i=0;i<tabs.length;i++){
    var on=tabs[i].getAttribute("data-tab")===name;
    tabs[i].className=on?"on":"";
    q(tabs[i].getAttribute("data-tab")).className=on?"on":"";
  }
  if(name==="console") q("cmd").focus();
  if(name==="settings") loadVars();
  if(name==="log"){renderLog();pollNow();}
}
for(var i=0;i<tabs.length;i++) tabs[i].onclick=function(){show(this.getAttribute("data-tab"));};
/* console */
var out=q("out"), cmd=q("cmd"), history=[], hpos=0, names=null;
try{history=JSON.parse(localStorage.getItem(HKEY)||"[]");}catch(e){history=[];}
hpos=history.length;
function append(text,cls){
  var s=document.createElement("span");
  if(cls) s.className=cls;
  s.textContent=text;
  out.appendChild(s);
  out.scrollTop=out.scrollHeight;
}
function remember(line){
  if(history[history.length-1]!==line) history.push(line);
  if(history.length>HMAX) history=history.slice(history.length-HMAX);
  try{localStorage.setItem(HKEY,JSON.stringify(history));}catch(e){}
  hpos=history.length;
}
function run(line){
  append(q("prompt").textContent+line+"\n","echo");
  if(line.trim()==="clear"){out.textContent="";return;}
  cmd.disabled=true;
  get("/cmd",{command:encodeURIComponent(line)},10000).then(function(text){
    var arr=text?JSON.parse(text):[], shown=0;
    for(var i=0;i<arr.length;i++){var t=String(arr[i].resp).split("\u0000").join("");shown+=t.length;append(t);}
    if(!shown) append("(no output)\n","hint");
    state("");
  }).catch(function(e){append("request failed: "+e.message+"\n","fail");state(failed(e));})
  .then(function(){cmd.disabled=false;cmd.focus();});
}
function loadNames(){
  if(names) return Promise.resolve(names);
  return get("/cmd",{command:"help"},10000).then(function(text){
    var list=[], arr=text?JSON.parse(text):[];
    for(var i=0;i<arr.length;i++){
      var lines=String(arr[i].resp).split("\n");
      for(var j=0;j<lines.length;j++){
        var m=/^\s*([A-Za-z_][\w.-]*)/.exec(lines[j].split("\u0000").join(""));
        if(m && list.indexOf(m[1])<0) list.push(m[1]);
      }
    }
    names=list;
    return list;
  });
}
function complete(){
  var v=cmd.value, start=v.lastIndexOf(";")+1, head=v.slice(start).replace(/^\s+/,"");
  if(head.indexOf(" ")>=0) return;
  loadNames().then(function(list){
    var hits=list.filter(function(n){return n.indexOf(head)===0;});
    if(hits.length===1){cmd.value=v.slice(0,v.length-head.length)+hits[0]+" ";}
    else if(hits.length>1){
      var p=hits[0];
      hits.forEach(function(h){while(h.indexOf(p)!==0) p=p.slice(0,-1);});
      cmd.value=v.slice(0,v.length-head.length)+p;
      append(hits.join("  ")+"\n","hint");
    }
  }).catch(function(){});
}
cmd.addEventListener("keydown",function(e){
  if(e.key==="Enter"){
    e.preventDefault();
    var line=cmd.value; cmd.value="";
    if(line.trim()){remember(line);run(line);} else append(q("prompt").textContent+"\n","echo");
  }else if(e.key==="ArrowUp"){
    e.preventDefault();
    if(hpos>0){hpos--;cmd.value=history[hpos];}
  }else if(e.key==="ArrowDown"){
    e.preventDefault();
    if(hpos<history.length){hpos++;cmd.value=hpos<history.length?history[hpos]:"";}
  }else if(e.key==="Tab"){
    e.preventDefault();
    complete();
  }
});
out.addEventListener("click",function(){if(!window.getSelection().toString()) cmd.focus();});
/* log */
var lines=[], view=q("logview"), filter=q("filter");
function lineNode(l){
  var d=document.createElement("div");
  d.className="l-"+(l.missed?"missed":l.level);
  d.textContent=l.log.replace(/\n$/,"");
  return d;
}
function matches(l){var f=filter.value.toLowerCase();return !f||l.log.toLowerCase().indexOf(f)>=0;}
function renderLog(){
  var frag=document.createDocumentFragment();
  lines.forEach(function(l){if(matches(l)) frag.appendChild(lineNode(l));});
  view.textContent="";
  view.appendChild(frag);
  count();
  if(q("follow").checked) view.scrollTop=view.scrollHeight;
}
function count(){var n=0;lines.forEach(function(l){if(matches(l)&&!l.missed) n++;});q("logcount").textContent=n+" lines";}
// Watched (the log tab shown in a visible window), the log is polled every
// 1200 ms. Unwatched, the polls back off to every 6 s while nothing comes,
// and the log is polled at once when it is looked at again.
var pollTimer=0, polling=false, emptyPolls=0;
function logWatched(){return !document.hidden&&q("log").className==="on";}
function nextPoll(){
  clearTimeout(pollTimer);
  pollTimer=setTimeout(pollLog,logWatched()?1200:Math.min(1200<<emptyPolls,6000));
}
function pollNow(){if(!polling){clearTimeout(pollTimer);pollLog();}}
function pollLog(){
  if(q("pause").checked){nextPoll();return;}
  polling=true;
  get("/log",{reader:READER,level:q("level").value},10000).then(function(text){
    var arr=text?JSON.parse(text):[];
    emptyPolls=arr.length?0:Math.min(emptyPolls+1,3);
    if(arr.length){
      lines=lines.concat(arr);
      var drop=lines.length-MAXLOG;
      if(drop>0){lines=lines.slice(drop);renderLog();}
      else{
        arr.forEach(function(l){if(matches(l)) view.appendChild(lineNode(l));});
        count();
        if(q("follow").checked) view.scrollTop=view.scrollHeight;
      }
    }
    state("");
  }).catch(function(e){state(failed(e));}).then(function(){polling=false;nextPoll();});
}
document.addEventListener("visibilitychange",function(){if(logWatched()) pollNow();});
filter.addEventListener("input",renderLog);
// The server filters by level, so a flood of one level cannot crowd out the lines asked for.
q("level").addEventListener("change",function(){lines=[];renderLog();});
q("logclear").onclick=function(){lines=[];renderLog();};
/* settings */
function cell(tr,cls){var td=document.createElement("td");if(cls) td.className=cls;tr.appendChild(td);return td;}
function send(name,input,res){
  res.className="res";res.textContent="...";
  get("/update",{name:encodeURIComponent(name),value:encodeURIComponent(input.value)},10000).then(function(text){
    var r=JSON.parse(text);
    res.className="res "+(r.success?"ok":"bad");
    res.textContent=r.success?"ok":r.msg;
    input.setAttribute("data-old",input.value);
  }).catch(function(e){res.className="res bad";res.textContent=e.message;});
}
function loadVars(){
  get("/config",{},10000).then(function(text){
    var vars=JSON.parse(text), body=q("vars");
    body.textContent="";
    vars.forEach(function(v){
      var tr=document.createElement("tr"), input;
      cell(tr,"name").textContent=v.name;
      var td=cell(tr), res=cell(tr,"res");
      if(v.type==="enum" && v.range){
        input=document.createElement("select");
        var opts=v.range.split(/[\/|]/);
        if(opts.indexOf(v.value)<0) opts.unshift(v.value);
        opts.forEach(function(o){var op=document.createElement("option");op.value=o;op.textContent=o;input.appendChild(op);});
        input.value=v.value;
        input.onchange=function(){send(v.name,input,res);};
      }else{
        input=document.createElement("input");
        input.value=v.value;
        input.onchange=function(){if(input.value!==input.getAttribute("data-old")) send(v.name,input,res);};
        input.onkeydown=function(e){if(e.key==="Enter") input.blur();};
      }
      input.setAttribute("data-old",v.value);
      input.name=v.name;
      input.id="var-"+v.name;
      td.appendChild(input);
      var desc=v.desc&&v.desc!==v.name?v.desc:"";
      if(v.range) desc+=(desc?" ":"")+"("+v.range.split("/").join(", ")+")";
      cell(tr,"desc").textContent=desc;
      body.appendChild(tr);
    });
    state("");
  }).catch(function(e){state(failed(e)==="offline"?"settings: "+e.message:failed(e));});
}
q("reload").onclick=loadVars;
pollLog();
cmd.focus();
})();
</script>
</body>
</html>
)PAGE";
