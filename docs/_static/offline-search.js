// Excerpts in the search results of a site opened from a file (file://).
//
// Sphinx's search quotes each result from its page, which it fetch()es; a
// browser refuses fetch() of a file:// address, so offline the results came
// without excerpts. A page may load a script from a file, though: the pages'
// main text is written at build time into _static/search-pages.js, which is
// loaded here on the search page only when the site is read from a file,
// and fetch() of one of the site's pages is answered from it. Served over
// HTTP, the search is left as Sphinx made it.
(() => {
  if (window.location.protocol !== "file:") return;
  const root = new URL(document.documentElement.dataset.content_root || "./", document.baseURI);
  const pages = new Promise((resolve) => {
    window.korvaneSearchPages = resolve; // search-pages.js calls it with its table
    const script = document.createElement("script");
    script.src = new URL("_static/search-pages.js", root).href;
    script.onerror = () => resolve({});
    document.head.appendChild(script);
  });
  const fetchFromFile = window.fetch.bind(window);
  window.fetch = (resource, options) => {
    const url = new URL(resource instanceof Request ? resource.url : String(resource), document.baseURI);
    if (!url.href.startsWith(root.href)) return fetchFromFile(resource, options);
    const name = decodeURIComponent(url.pathname.slice(root.pathname.length));
    return pages.then((main) =>
      Object.hasOwn(main, name)
        ? new Response(`<div role="main">${main[name]}</div>`, { headers: { "Content-Type": "text/html" } })
        : fetchFromFile(resource, options),
    );
  };
})();
