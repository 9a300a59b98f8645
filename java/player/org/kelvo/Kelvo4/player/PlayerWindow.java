package org.kelvo.Kelvo4.player;

import java.awt.BorderLayout;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Point;
import java.awt.Toolkit;
import java.awt.event.ActionEvent;
import java.awt.event.KeyEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.awt.image.BufferedImage;
import java.io.IOException;
import javax.swing.AbstractAction;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.JPanel;
import javax.swing.JSlider;
import javax.swing.KeyStroke;
import javax.swing.SwingUtilities;
import javax.swing.Timer;
import javax.swing.WindowConstants;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/**
 * A window that plays a stream at its frame rate (30 frames/s when it gives none). The picture is
 * drawn at 1:1, with the frame number and the decode rate in a strip below it; space or the
 * button pauses, the slider seeks. One thread of its own reads and decodes into the back one of
 * two pictures; the event thread paints the front one.
 *
 * <p>When paused with a frame on screen it prints {@code paused at frame F, picture at X,Y} once
 * per frame shown, so that a script can find and check the picture.
 */
final class PlayerWindow {
  static final int STRIP = 24;

  private final KelvoStreamReader reader; // the playback thread's only
  private final int count;
  private final long period; // nanoseconds per frame
  private final Object lock = new Object();
  private BufferedImage front, back; // guarded by lock
  private int shown = -1; // frame in front, guarded by lock
  private boolean paused, closing; // guarded by lock
  private int seekTo; // -1 for none, guarded by lock
  private volatile String status = "";
  private volatile double decodeRate; // frames/s, a running mean
  private int announced = -1; // event thread only

  private final JFrame frame;
  private final Screen screen;
  private final JButton pauseButton = new JButton();
  private final JSlider slider;
  private boolean settingSlider; // event thread only

  private PlayerWindow(KelvoStreamReader reader, String title, int start, boolean paused) {
    this.reader = reader;
    count = reader.frameCount();
    double rate = reader.frameRate() > 0 ? reader.frameRate() : 30;
    period = (long) (1e9 / rate);
    int w = reader.width(), h = reader.height();
    front = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB);
    back = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB);
    this.paused = paused;
    seekTo = Math.max(0, Math.min(start, count - 1));

    screen = new Screen();
    frame = new JFrame(title + " - Kelvo4 player");
    slider = new JSlider(0, Math.max(0, count - 1), seekTo);
    slider.setFocusable(false);
    slider.addChangeListener(e -> {
      if (!settingSlider) requestSeek(slider.getValue());
    });
    pauseButton.setFocusable(false);
    pauseButton.addActionListener(e -> togglePause());
    updateButton();
    JPanel controls = new JPanel(new BorderLayout());
    controls.add(pauseButton, BorderLayout.WEST);
    controls.add(slider, BorderLayout.CENTER);
    frame.getContentPane().add(screen, BorderLayout.CENTER);
    frame.getContentPane().add(controls, BorderLayout.SOUTH);
    JComponent root = frame.getRootPane();
    root.getInputMap(JComponent.WHEN_IN_FOCUSED_WINDOW).put(KeyStroke.getKeyStroke(KeyEvent.VK_SPACE, 0), "pause");
    root.getActionMap().put("pause", new AbstractAction() {
      private static final long serialVersionUID = 1L;

      @Override
      public void actionPerformed(ActionEvent e) {
        togglePause();
      }
    });
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
    frame.setResizable(false);
  }

  /** Shows a window playing the reader's stream from frame start; the reader is closed with it. */
  static void open(KelvoStreamReader reader, String title, int start, boolean paused) {
    // 1:1 pixels: no scaling of the picture on screens with a scale factor.
    if (System.getProperty("sun.java2d.uiScale") == null) System.setProperty("sun.java2d.uiScale", "1");
    SwingUtilities.invokeLater(() -> {
      PlayerWindow window = new PlayerWindow(reader, title, start, paused);
      window.frame.setVisible(true);
      Thread playback = new Thread(window::play, "playback");
      playback.start();
    });
  }

  private void togglePause() {
    synchronized (lock) {
      paused = !paused;
      // Play from the start again once at the end.
      if (!paused && shown >= count - 1) seekTo = 0;
      lock.notifyAll();
    }
    updateButton();
    screen.repaint();
  }

  private void requestSeek(int f) {
    synchronized (lock) {
      seekTo = f;
      lock.notifyAll();
    }
  }

  private void updateButton() {
    synchronized (lock) {
      pauseButton.setText(paused ? "Play" : "Pause");
    }
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
        if (target >= 0) {
          reader.seek(target);
          due = System.nanoTime();
        } else {
          long wait = due - System.nanoTime();
          if (wait > 0) Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
          due += period;
          if (reader.position() >= count) {
            setPaused();
            continue;
          }
        }
        long t = System.nanoTime();
        if (!reader.next(back)) {
          setPaused();
          continue;
        }
        double rate = 1e9 / Math.max(1, System.nanoTime() - t);
        decodeRate = decodeRate == 0 ? rate : 0.9 * decodeRate + 0.1 * rate;
        synchronized (lock) {
          BufferedImage done = back;
          back = front;
          front = done;
          shown = reader.position() - 1;
        }
        SwingUtilities.invokeLater(this::showFrame);
      }
    } catch (IOException e) {
      System.err.println("Kelvo4-player: " + e.getMessage());
      status = "error: " + e.getMessage();
      setPaused();
      SwingUtilities.invokeLater(screen::repaint);
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

  private void setPaused() {
    synchronized (lock) {
      paused = true;
    }
    SwingUtilities.invokeLater(this::updateButton);
  }

  private void showFrame() {
    int f;
    synchronized (lock) {
      f = shown;
    }
    settingSlider = true;
    slider.setValue(f);
    settingSlider = false;
    screen.paintImmediately(0, 0, screen.getWidth(), screen.getHeight());
    Toolkit.getDefaultToolkit().sync();
    boolean stopped;
    synchronized (lock) {
      stopped = paused && seekTo < 0;
    }
    if (stopped && f != announced) {
      if (!screen.isShowing()) {
        // Not on screen yet: look again shortly.
        Timer again = new Timer(50, e -> showFrame());
        again.setRepeats(false);
        again.start();
        return;
      }
      announced = f;
      Point at = screen.getLocationOnScreen();
      System.out.println("paused at frame " + f + ", picture at " + at.x + "," + at.y);
      System.out.flush();
    }
  }

  /** The picture at 1:1 and the status strip below it. */
  private final class Screen extends JComponent {
    private static final long serialVersionUID = 1L;

    Screen() {
      setPreferredSize(new Dimension(Math.max(front.getWidth(), 360), front.getHeight() + STRIP));
      setOpaque(true);
    }

    @Override
    protected void paintComponent(Graphics g) {
      g.setColor(Color.DARK_GRAY);
      g.fillRect(0, 0, getWidth(), getHeight());
      int f;
      boolean stopped;
      synchronized (lock) {
        if (shown >= 0) g.drawImage(front, 0, 0, null);
        f = shown;
        stopped = paused;
      }
      g.setColor(Color.WHITE);
      String text = String.format("frame %d / %d   decode %.0f frames/s%s   %s", f, count, decodeRate,
          stopped ? "   paused" : "", status);
      g.drawString(text, 4, front.getHeight() + STRIP - 7);
    }
  }
}
