package org.kelvo.Kelvo4.player;

import java.awt.BorderLayout;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.GraphicsDevice;
import java.awt.GraphicsEnvironment;
import java.awt.Point;
import java.awt.Rectangle;
import java.awt.RenderingHints;
import java.awt.Toolkit;
import java.awt.event.ActionEvent;
import java.awt.event.KeyEvent;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import javax.swing.AbstractAction;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JPanel;
import javax.swing.JScrollPane;
import javax.swing.JSlider;
import javax.swing.JViewport;
import javax.swing.KeyStroke;
import javax.swing.Scrollable;
import javax.swing.SwingConstants;
import javax.swing.SwingUtilities;
import javax.swing.Timer;
import javax.swing.WindowConstants;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/**
 * A window that plays a stream at its frame rate (30 frames/s when it gives none). The picture is
 * scaled down to fit the window, aspect kept (1:1 when it fits), or shown at actual pixels in a
 * scrolled view; the button, the slider and the frame counter sit in a strip below it, outside
 * the picture, so they show whatever the picture's size. Keys: space pauses, right and left step
 * a frame when paused, 1 switches between fitting and actual pixels, f switches full screen and
 * Escape leaves it. One thread of its own reads and decodes into the back one of two pictures;
 * the event thread paints the front one.
 *
 * <p>A stream that cannot seek back (standard input) plays forward only: the slider is disabled,
 * left does nothing and at the end it cannot start again. A damaged frame stops playback with the
 * reader's message in the status line; a file can still be sought back to the frames before it.
 *
 * <p>When paused with a frame on screen it prints {@code paused at frame F, picture at X,Y WxH,
 * controls at X,Y WxH} (screen coordinates) once per frame shown, so that a script can find and
 * check the picture and the controls.
 */
final class PlayerWindow {
  private final KelvoStreamReader reader; // the playback thread's only
  private final boolean seekable;
  private final int width, height;
  private final long period; // nanoseconds per frame
  private final Object lock = new Object();
  private BufferedImage front, back; // guarded by lock
  private int shown = -1; // frame in front, guarded by lock
  private boolean paused, ended, closing; // guarded by lock
  private int seekTo; // -1 for none, guarded by lock
  private volatile int count; // -1 while not known
  private volatile String status = "";
  private volatile double decodeRate; // frames/s, a running mean
  private int announced = -1; // event thread only
  private boolean actualPixels; // event thread only

  private final JFrame frame;
  private final Screen screen;
  private final JScrollPane view;
  private final JPanel controls = new JPanel(new BorderLayout());
  private final JButton pauseButton = new JButton("Pause");
  private final JSlider slider;
  private final JLabel counter = new JLabel(), message = new JLabel();
  private boolean settingSlider; // event thread only

  private PlayerWindow(KelvoStreamReader reader, String title, boolean seekable, boolean paused) {
    this.reader = reader;
    this.seekable = seekable;
    count = reader.frameCount();
    double rate = reader.frameRate() > 0 ? reader.frameRate() : 30;
    period = (long) (1e9 / rate);
    width = reader.width();
    height = reader.height();
    front = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
    back = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
    screen = new Screen();
    view = new JScrollPane(screen);
    this.paused = paused;
    seekTo = reader.position();

    frame = new JFrame(title + " - Kelvo4 player");
    slider = new JSlider(0, Math.max(0, count - 1), seekTo);
    slider.setFocusable(false);
    slider.setEnabled(seekable && count > 1);
    slider.addChangeListener(e -> {
      if (!settingSlider) requestSeek(slider.getValue());
    });
    pauseButton.setFocusable(false);
    pauseButton.addActionListener(e -> togglePause());
    // Wide enough for the longest counter, so that the slider does not jump as it changes.
    int most = count >= 0 ? count : 99_999;
    counter.setText(String.format(" frame %d / %d   decode %d frames/s   paused ", most, most, 99_999));
    counter.setPreferredSize(counter.getPreferredSize());
    message.setForeground(Color.RED.darker());
    updateControls();
    controls.add(pauseButton, BorderLayout.WEST);
    controls.add(slider, BorderLayout.CENTER);
    controls.add(counter, BorderLayout.EAST);
    controls.add(message, BorderLayout.SOUTH);

    view.setBorder(null);
    view.getViewport().setBackground(Color.DARK_GRAY);
    // The arrow keys step frames, so the view does not scroll with them.
    view.setInputMap(JComponent.WHEN_ANCESTOR_OF_FOCUSED_COMPONENT, null);
    frame.getContentPane().add(view, BorderLayout.CENTER);
    frame.getContentPane().add(controls, BorderLayout.SOUTH);
    bind("pause", this::togglePause, KeyEvent.VK_SPACE);
    bind("next", () -> step(1), KeyEvent.VK_RIGHT, KeyEvent.VK_KP_RIGHT);
    bind("previous", () -> step(-1), KeyEvent.VK_LEFT, KeyEvent.VK_KP_LEFT);
    bind("actual pixels", this::toggleActualPixels, KeyEvent.VK_1, KeyEvent.VK_NUMPAD1);
    bind("full screen", () -> setFullScreen(!isFullScreen()), KeyEvent.VK_F);
    bind("leave full screen", () -> setFullScreen(false), KeyEvent.VK_ESCAPE);
    frame.setDefaultCloseOperation(WindowConstants.DISPOSE_ON_CLOSE);
    frame.addWindowListener(new WindowAdapter() {
      @Override
      public void windowClosed(WindowEvent e) {
        synchronized (lock) {
          closing = true;
          lock.notifyAll();
        }
      }
    });
    frame.pack();
    // No larger than the screen's usable part; one that would be larger fills it.
    Rectangle usable = GraphicsEnvironment.getLocalGraphicsEnvironment().getMaximumWindowBounds();
    if (frame.getWidth() > usable.width || frame.getHeight() > usable.height) {
      frame.setBounds(usable.x, usable.y, Math.min(frame.getWidth(), usable.width),
          Math.min(frame.getHeight(), usable.height));
    }
  }

  /**
   * Shows a window playing the reader's stream from the reader's position; the reader is closed
   * with it. seekable: whether the reader can seek back (a file).
   */
  static void open(KelvoStreamReader reader, String title, boolean seekable, boolean paused) {
    // Actual pixels are the screen's pixels, also on screens with a scale factor.
    if (System.getProperty("sun.java2d.uiScale") == null) System.setProperty("sun.java2d.uiScale", "1");
    SwingUtilities.invokeLater(() -> {
      PlayerWindow window = new PlayerWindow(reader, title, seekable, paused);
      window.frame.setVisible(true);
      window.screen.requestFocusInWindow();
      Thread playback = new Thread(window::play, "playback");
      playback.start();
    });
  }

  private void bind(String name, Runnable action, int... keys) {
    JComponent root = frame.getRootPane();
    for (int key : keys) root.getInputMap(JComponent.WHEN_IN_FOCUSED_WINDOW).put(KeyStroke.getKeyStroke(key, 0), name);
    root.getActionMap().put(name, new AbstractAction() {
      private static final long serialVersionUID = 1L;

      @Override
      public void actionPerformed(ActionEvent e) {
        action.run();
      }
    });
  }

  private void togglePause() {
    synchronized (lock) {
      if (paused && (ended || count >= 0 && shown >= count - 1)) {
        // Play from the start again once at the end.
        if (!seekable) return;
        seekTo = 0;
        ended = false;
      }
      paused = !paused;
      lock.notifyAll();
    }
    updateControls();
  }

  /** One frame forward or back, when paused. */
  private void step(int by) {
    synchronized (lock) {
      int from = seekTo >= 0 ? seekTo : shown, f = from + by;
      if (!paused || from < 0 || f < 0 || by < 0 && !seekable || by > 0 && ended || count >= 0 && f >= count) return;
      seekTo = f;
      ended = false;
      lock.notifyAll();
    }
  }

  private void requestSeek(int f) {
    synchronized (lock) {
      seekTo = f;
      ended = false;
      lock.notifyAll();
    }
  }

  private void toggleActualPixels() {
    actualPixels = !actualPixels;
    screen.revalidate();
    screen.repaint();
    if (actualPixels) {
      // Start at the middle of the picture once the view has been laid out again.
      SwingUtilities.invokeLater(() -> {
        JViewport port = view.getViewport();
        Dimension extent = port.getExtentSize();
        port.setViewPosition(
            new Point(Math.max(0, (width - extent.width) / 2), Math.max(0, (height - extent.height) / 2)));
      });
    }
  }

  private boolean isFullScreen() {
    return frame.getGraphicsConfiguration().getDevice().getFullScreenWindow() == frame;
  }

  private void setFullScreen(boolean on) {
    if (on == isFullScreen()) return;
    GraphicsDevice device = frame.getGraphicsConfiguration().getDevice();
    device.setFullScreenWindow(on ? frame : null);
    screen.requestFocusInWindow();
  }

  // The playback thread: decodes the frame asked for by a seek, or while playing the next one,
  // one period after the last.
  private void play() {
    long due = System.nanoTime();
    try {
      while (true) {
        int target;
        synchronized (lock) {
          while (!closing && seekTo < 0 && paused) lock.wait();
          if (closing) break;
          target = seekTo;
          seekTo = -1;
        }
        long t;
        boolean decoded;
        try {
          if (target >= 0) {
            reader.seek(target);
            due = System.nanoTime();
          } else {
            long wait = due - System.nanoTime();
            if (wait > 0) Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
            due += period;
          }
          t = System.nanoTime();
          decoded = reader.next(back);
        } catch (IOException e) {
          // A damaged frame: the ones before it have been shown.
          System.err.println("Kelvo4-player: " + e.getMessage());
          status = e.getMessage();
          stop(false);
          if (seekable) continue;
          break; // a stream reader can only be closed
        }
        count = reader.frameCount();
        if (!decoded) {
          stop(true);
          continue;
        }
        double rate = 1e9 / Math.max(1, System.nanoTime() - t);
        decodeRate = decodeRate == 0 ? rate : 0.9 * decodeRate + 0.1 * rate;
        status = "";
        synchronized (lock) {
          BufferedImage done = back;
          back = front;
          front = done;
          shown = reader.position() - 1;
        }
        SwingUtilities.invokeLater(this::showFrame);
      }
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
    } finally {
      try {
        reader.close();
      } catch (IOException e) {
        System.err.println("Kelvo4-player: " + e.getMessage());
      }
    }
  }

  private void stop(boolean atEnd) {
    synchronized (lock) {
      paused = true;
      ended = atEnd;
    }
    SwingUtilities.invokeLater(this::updateControls);
  }

  /** The button, the counter and the status line as things are. Event thread. */
  private void updateControls() {
    int f;
    boolean stopped, over;
    synchronized (lock) {
      f = shown;
      stopped = paused;
      over = ended;
    }
    int n = count;
    pauseButton.setText(stopped ? "Play" : "Pause");
    pauseButton.setEnabled(seekable || !(over || !status.isEmpty()));
    counter.setText(String.format(" frame %d%s   decode %.0f frames/s%s ", Math.max(f, 0), n >= 0 ? " / " + n : "",
        decodeRate, stopped ? "   paused" : ""));
    String text = status;
    message.setText(text.isEmpty() ? " " : text); // a line high even when empty
    message.setToolTipText(text.isEmpty() ? null : text);
  }

  private void showFrame() {
    int f;
    synchronized (lock) {
      f = shown;
    }
    if (f < count) { // where it is, also when it cannot seek
      settingSlider = true;
      slider.setValue(f);
      settingSlider = false;
    }
    updateControls();
    screen.paintImmediately(0, 0, screen.getWidth(), screen.getHeight());
    Toolkit.getDefaultToolkit().sync();
    boolean stopped;
    synchronized (lock) {
      stopped = paused && seekTo < 0;
    }
    if (stopped && f != announced) {
      if (!screen.isShowing() || !controls.isShowing()) {
        // Not on screen yet: look again shortly.
        Timer again = new Timer(50, e -> showFrame());
        again.setRepeats(false);
        again.start();
        return;
      }
      announced = f;
      Rectangle picture = screen.picture();
      Point at = screen.getLocationOnScreen(), c = controls.getLocationOnScreen();
      System.out.printf("paused at frame %d, picture at %d,%d %dx%d, controls at %d,%d %dx%d%n", f, at.x + picture.x,
          at.y + picture.y, picture.width, picture.height, c.x, c.y, controls.getWidth(), controls.getHeight());
      System.out.flush();
    }
  }

  /**
   * The picture, fitted to the view (never enlarged) or at actual pixels, centred where it is
   * smaller than the view.
   */
  private final class Screen extends JComponent implements Scrollable {
    private static final long serialVersionUID = 1L;
    // Halved copies of the front picture, for scaling down by more than 2. Event thread only.
    private final transient List<BufferedImage> halves = new ArrayList<>();

    Screen() {
      setPreferredSize(new Dimension(width, height));
      setOpaque(true);
      setFocusable(true);
      addMouseListener(new MouseAdapter() {
        @Override
        public void mousePressed(MouseEvent e) {
          requestFocusInWindow();
        }
      });
    }

    /** Where the picture is drawn, in this component. */
    Rectangle picture() {
      double scale = actualPixels ? 1
          : Math.min(1, Math.min((double) getWidth() / width, (double) getHeight() / height));
      int w = Math.max(1, (int) Math.round(width * scale)), h = Math.max(1, (int) Math.round(height * scale));
      return new Rectangle(Math.max(0, (getWidth() - w) / 2), Math.max(0, (getHeight() - h) / 2), w, h);
    }

    @Override
    protected void paintComponent(Graphics g) {
      g.setColor(Color.DARK_GRAY);
      g.fillRect(0, 0, getWidth(), getHeight());
      Rectangle r = picture();
      synchronized (lock) {
        if (shown < 0) return;
        if (r.width == width && r.height == height) {
          g.drawImage(front, r.x, r.y, null);
          return;
        }
        // Bilinear steps of one half while the picture is at least twice the size drawn (each
        // the mean of 2x2 pixels), then one bilinear step to the size.
        BufferedImage from = front;
        for (int i = 0; from.getWidth() >= 2 * r.width && from.getHeight() >= 2 * r.height; i++) {
          int w = from.getWidth() / 2, h = from.getHeight() / 2;
          if (halves.size() == i) halves.add(null);
          BufferedImage half = halves.get(i);
          if (half == null || half.getWidth() != w || half.getHeight() != h) {
            halves.set(i, half = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB));
          }
          draw(half.createGraphics(), from, 0, 0, w, h);
          from = half;
        }
        draw((Graphics2D) g.create(), from, r.x, r.y, r.width, r.height);
      }
    }

    private void draw(Graphics2D g, BufferedImage image, int x, int y, int w, int h) {
      g.setRenderingHint(RenderingHints.KEY_INTERPOLATION, RenderingHints.VALUE_INTERPOLATION_BILINEAR);
      g.setRenderingHint(RenderingHints.KEY_RENDERING, RenderingHints.VALUE_RENDER_QUALITY);
      g.drawImage(image, x, y, w, h, null);
      g.dispose();
    }

    @Override
    public Dimension getPreferredScrollableViewportSize() {
      return getPreferredSize();
    }

    @Override
    public int getScrollableUnitIncrement(Rectangle visible, int orientation, int direction) {
      return 16;
    }

    @Override
    public int getScrollableBlockIncrement(Rectangle visible, int orientation, int direction) {
      return orientation == SwingConstants.HORIZONTAL ? visible.width : visible.height;
    }

    // Fitted, the picture takes the view's size; at actual pixels, its own, or the view's where
    // that is larger.
    @Override
    public boolean getScrollableTracksViewportWidth() {
      return !actualPixels || getParent().getWidth() >= width;
    }

    @Override
    public boolean getScrollableTracksViewportHeight() {
      return !actualPixels || getParent().getHeight() >= height;
    }
  }
}
