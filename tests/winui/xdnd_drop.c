/* Drops files on an X11 window the way a Linux file manager does (the XDND protocol, with
 * a text/uri-list), so that Wine hands the Windows program under it a WM_DROPFILES made in
 * that program's own process: a drop cannot be sent from another Windows process, whose
 * HDROP would mean nothing there.
 *
 *   xdnd-drop WINDOW-ID X Y PATH...     (X, Y: a point inside the window, root coordinates)
 *
 * Exits 0 once the target has finished the drop (XdndFinished), 1 on refusal or after 10 s. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

static Display* dpy;
static Atom aAware, aEnter, aPosition, aStatus, aDrop, aFinished, aSelection, aCopy, aUriList;

static void Send(Window target, Window source, Atom type, long l1, long l2, long l3, long l4) {
  XEvent e;
  memset(&e, 0, sizeof e);
  e.xclient.type = ClientMessage;
  e.xclient.display = dpy;
  e.xclient.window = target;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  e.xclient.data.l[0] = (long)source;
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  e.xclient.data.l[3] = l3;
  e.xclient.data.l[4] = l4;
  XSendEvent(dpy, target, False, NoEventMask, &e);
  XFlush(dpy);
}

/* The window that carries XdndAware: the given one or one of its descendants. */
static Window AwareWindow(Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = NULL;
  if (XGetWindowProperty(dpy, w, aAware, 0, 1, False, AnyPropertyType, &type, &format, &count,
                         &after, &data) == Success && data != NULL) {
    XFree(data);
    if (count > 0) return w;
  }
  Window root, parent, *children = NULL;
  unsigned int n = 0;
  Window found = None;
  if (XQueryTree(dpy, w, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n && found == None; ++i) found = AwareWindow(children[i]);
    if (children) XFree(children);
  }
  return found;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: xdnd-drop WINDOW-ID X Y PATH...\n");
    return 2;
  }
  dpy = XOpenDisplay(NULL);
  if (!dpy) return 1;
  aAware = XInternAtom(dpy, "XdndAware", False);
  aEnter = XInternAtom(dpy, "XdndEnter", False);
  aPosition = XInternAtom(dpy, "XdndPosition", False);
  aStatus = XInternAtom(dpy, "XdndStatus", False);
  aDrop = XInternAtom(dpy, "XdndDrop", False);
  aFinished = XInternAtom(dpy, "XdndFinished", False);
  aSelection = XInternAtom(dpy, "XdndSelection", False);
  aCopy = XInternAtom(dpy, "XdndActionCopy", False);
  aUriList = XInternAtom(dpy, "text/uri-list", False);

  Window target = AwareWindow((Window)strtoul(argv[1], NULL, 0));
  if (target == None) {
    fprintf(stderr, "xdnd-drop: no XdndAware window\n");
    return 1;
  }
  const long x = atol(argv[2]), y = atol(argv[3]);
  /* file:// URIs, each path's bytes percent-encoded where a URI needs it. */
  size_t size = 1;
  for (int i = 4; i < argc; ++i) size += 7 + 3 * strlen(argv[i]) + 2;
  char* uris = calloc(size, 1);
  char* out = uris;
  for (int i = 4; i < argc; ++i) {
    out += sprintf(out, "file://");
    for (const unsigned char* p = (const unsigned char*)argv[i]; *p; ++p) {
      if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
          strchr("/-_.~", *p)) {
        *out++ = (char)*p;
      } else {
        out += sprintf(out, "%%%02X", *p);
      }
    }
    out += sprintf(out, "\r\n");
  }

  Window source = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(dpy, aSelection, source, CurrentTime);
  Send(target, source, aEnter, 5L << 24, (long)aUriList, 0, 0);
  Send(target, source, aPosition, 0, (x << 16) | y, CurrentTime, (long)aCopy);

  int dropped = 0;
  const time_t until = time(NULL) + 10;
  const int fd = ConnectionNumber(dpy);
  while (time(NULL) < until) {
    if (!XPending(dpy)) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fd, &set);
      struct timeval wait = {0, 100000};
      select(fd + 1, &set, NULL, NULL, &wait);
      continue;
    }
    XEvent e;
    XNextEvent(dpy, &e);
    if (e.type == SelectionRequest) {
      XSelectionRequestEvent* r = &e.xselectionrequest;
      XEvent reply;
      memset(&reply, 0, sizeof reply);
      reply.xselection.type = SelectionNotify;
      reply.xselection.requestor = r->requestor;
      reply.xselection.selection = r->selection;
      reply.xselection.target = r->target;
      reply.xselection.time = r->time;
      reply.xselection.property = None;
      if (r->target == aUriList) {
        XChangeProperty(dpy, r->requestor, r->property, aUriList, 8, PropModeReplace,
                        (unsigned char*)uris, (int)strlen(uris));
        reply.xselection.property = r->property;
      }
      XSendEvent(dpy, r->requestor, False, NoEventMask, &reply);
      XFlush(dpy);
    } else if (e.type == ClientMessage && e.xclient.message_type == aStatus && !dropped) {
      if (!(e.xclient.data.l[1] & 1)) {
        fprintf(stderr, "xdnd-drop: the window refuses the drop\n");
        return 1;
      }
      Send(target, source, aDrop, 0, CurrentTime, 0, 0);
      dropped = 1;
    } else if (e.type == ClientMessage && e.xclient.message_type == aFinished) {
      return 0;
    }
  }
  fprintf(stderr, "xdnd-drop: no answer from the window\n");
  return 1;
}
